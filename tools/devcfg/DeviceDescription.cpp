#include "DeviceDescription.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "DevBas.h"
#include "DevVocabulary.h"
#include "OwnerArchive.h"

namespace devdesc {

namespace {

const uint32_t kAddressMax = 0xFFFFFF;  // elements have 24-bit addresses
const int64_t kCountMax = 5000;         // rows one channel definition builds at most
const int64_t kStringMax = 120;         // longest string channel, bytes
const int kIndexStr = 27;               // data-type index of "STR" in a word area
const size_t kRowMinBytes = 7 * 4 + 4;  // seven numbers and the name's count

// The driver's row schema must be in place before the first row is made.
void EnsureSchema() {
    static const bool done = (CDevBas::mfInitBlockAndRow(), true);
    (void)done;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Str(const CString& s) { return std::string(s.c_str(), static_cast<size_t>(s.GetLength())); }

// The label text after its "N - " prefix.
std::string LabelTail(const CString& label) {
    std::string s = Str(label);
    size_t dash = s.find(" - ");
    return dash == std::string::npos ? s : s.substr(dash + 3);
}

int AreaByName(const std::string& upperName) {
    for (int t = 0; t < CHL_TYPE_COUNT; ++t)
        if (Str(CHL_STR_NAME[t]) == upperName) return t;
    return -1;
}

std::string AreaList() {
    std::string s;
    for (int t = 0; t < CHL_TYPE_COUNT; ++t) s += (t ? " " : "") + Str(CHL_STR_NAME[t]);
    return s;
}

bool IsBitArea(uint32_t type) { return ChlIsBitArea(type); }

// Elements one row occupies, from its address on: the engine's rule.
uint64_t RowWidth(const Row& row) { return static_cast<uint64_t>(CDevBas::mfGetRowWidth(row.code, row.bit)); }

CDevRow MakeDevRow(const Row& r) {
    CDevRow row;
    row.SetdwValue(DEVROW_STR_CHLRWFLAG, r.rw);
    row.SetdwValue(DEVROW_STR_CHLTYPE, r.type);
    row.SetdwValue(DEVROW_STR_CHLADDRESS, r.address);
    row.SetdwValue(DEVROW_STR_CHLBIT, r.bit);
    row.SetdwValue(DEVROW_STR_CHLDATATYPE, r.code);
    row.SetdwValue(DEVROW_STR_CHLREADFASTFLAG, r.fast);
    row.SetdwValue(DEVROW_STR_CHLREADMAX, r.readMax);
    row.SetstrValue(DEVROW_STR_CHLNAME, CString(r.name.c_str(), static_cast<int>(r.name.size())));
    return row;
}

Row FromDevRow(CDevRow& row) {
    Row r;
    r.rw = row.GetdwValue(DEVROW_STR_CHLRWFLAG);
    r.type = row.GetdwValue(DEVROW_STR_CHLTYPE);
    r.address = row.GetdwValue(DEVROW_STR_CHLADDRESS);
    r.bit = row.GetdwValue(DEVROW_STR_CHLBIT);
    r.code = row.GetdwValue(DEVROW_STR_CHLDATATYPE);
    r.fast = row.GetdwValue(DEVROW_STR_CHLREADFASTFLAG);
    r.readMax = row.GetdwValue(DEVROW_STR_CHLREADMAX);
    r.name = Str(row.GetstrValue(DEVROW_STR_CHLNAME));
    return r;
}

// The name the driver gives a row with these values.
std::string DriverName(const Row& r) {
    EnsureSchema();
    CDevRow row = MakeDevRow(r);
    CDevBas::mfFormRowName(row);
    return Str(row.GetstrValue(DEVROW_STR_CHLNAME));
}

// ---- reading TOML

class Reader {
public:
    explicit Reader(const std::string& source) : m_source(source) {}

    [[noreturn]] void Fail(const toml::node* at, const std::string& where, const std::string& what) const {
        std::string line = at != nullptr && at->source().begin.line > 0 ? ":" + std::to_string(at->source().begin.line)
                                                                        : std::string();
        throw Error(m_source + line + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    int64_t Integer(const toml::node& node, const std::string& where, int64_t lo, int64_t hi) const {
        if (!node.is_integer()) Fail(&node, where, "expected a whole number");
        int64_t v = node.as_integer()->get();
        if (v < lo || v > hi)
            Fail(&node, where,
                 "out of range: " + std::to_string(v) + " (" + std::to_string(lo) + ".." + std::to_string(hi) + ")");
        return v;
    }

    std::string Text(const toml::node& node, const std::string& where) const {
        if (!node.is_string()) Fail(&node, where, "expected a text in quotes");
        return node.as_string()->get();
    }

    // A choice property: the option number, its whole label ("1 - 2143"), or
    // the label without its number ("2143", "ascii"; "LH"/"HL" for the CRC).
    int32_t Option(const toml::node& node, const PropertyInfo& p, const std::string& where) const {
        if (node.is_integer()) return static_cast<int32_t>(Integer(node, where, 0, p.labelCount - 1));
        std::string text = Upper(Text(node, where));
        std::string known;
        for (int i = 0; i < p.labelCount; ++i) {
            const CString& label = DEV_STR_PROPERTLIST[p.firstLabel + i];
            std::string tail = Upper(LabelTail(label));
            std::string shortTail = tail.substr(0, tail.find('['));
            if (text == Upper(Str(label)) || text == tail || text == shortTail) return i;
            known += (i ? ", " : "") + std::string("\"") + Str(label) + "\"";
        }
        Fail(&node, where, "unknown option '" + node.as_string()->get() + "' (options: " + known + ")");
    }

    Description Read(const toml::table& root) {
        Description d;
        d.properties.assign(DEV_PROPERTY_COUNT, 0);
        d.properties[DEVPROP_STATION] = 1;
        d.properties[DEVPROP_WAITTIME] = 100;
        for (auto&& [key, node] : root) {
            std::string k(key.str());
            if (k == "device")
                ReadDevice(node, d);
            else if (k == "channel")
                ReadChannels(node, d);
            else if (k == "simulator")
                ReadSimulator(node, d);
            else
                Fail(&node, "", "unknown section '" + k + "' (sections: device, channel, simulator)");
        }
        return d;
    }

private:
    void ReadDevice(const toml::node& node, Description& d) {
        const toml::table* t = node.as_table();
        if (t == nullptr) Fail(&node, "device", "expected a table [device]");
        for (auto&& [key, value] : *t) {
            std::string k(key.str());
            auto p = std::find_if(Properties().begin(), Properties().end(),
                                  [&](const PropertyInfo& info) { return k == info.key; });
            if (p == Properties().end()) {
                std::string keys;
                for (const PropertyInfo& info : Properties()) keys += std::string(keys.empty() ? "" : ", ") + info.key;
                Fail(&value, "device", "unknown property '" + k + "' (properties: " + keys + ")");
            }
            std::string where = "device." + k;
            if (p->index == DEVPROP_STATION)
                d.properties[p->index] = static_cast<int32_t>(Integer(value, where, 0, 255));
            else if (p->index == DEVPROP_WAITTIME)
                d.properties[p->index] = static_cast<int32_t>(Integer(value, where, 1, 600000));
            else
                d.properties[p->index] = Option(value, *p, where);
        }
    }

    void ReadSimulator(const toml::node& node, Description& d) {
        const toml::table* t = node.as_table();
        if (t == nullptr) Fail(&node, "simulator", "expected a table [simulator]");
        for (auto&& [key, value] : *t) {
            if (key.str() != "set") Fail(&value, "simulator", "unknown field '" + std::string(key.str()) + "' (set)");
            const toml::array* a = value.as_array();
            if (a == nullptr) Fail(&value, "simulator.set", "expected a list of texts such as [\"D100=5\"]");
            for (const toml::node& item : *a) d.simulatorSet.push_back(Text(item, "simulator.set"));
        }
    }

    void ReadChannels(const toml::node& node, Description& d) {
        const toml::array* a = node.as_array();
        if (a == nullptr) Fail(&node, "channel", "expected a list of channels ([[channel]] tables)");
        int number = 0;
        for (const toml::node& item : *a) ReadChannel(item, number++, d);
    }

    struct Address {
        int type = -1;
        uint32_t address = 0;
        int bit = -1;  // -1: none given
    };

    // "D100", "M5", "D100.03", "X17" (octal for X and Y).
    Address ParseAddress(const toml::node& node, const std::string& where) const {
        std::string text = Text(node, where);
        size_t i = 0;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
        std::string area = Upper(text.substr(0, i));
        if (area.empty()) Fail(&node, where, "'" + text + "' does not start with an area such as D or M");
        Address a;
        a.type = AreaByName(area);
        if (a.type < 0) Fail(&node, where, "unknown area '" + area + "' (areas: " + AreaList() + ")");
        size_t dot = text.find('.', i);
        std::string digits = text.substr(i, dot == std::string::npos ? std::string::npos : dot - i);
        if (digits.empty() || digits.size() > 9 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            Fail(&node, where, "'" + text + "' needs an element number after the area");
        bool octal = a.type == CHL_TYPE_X || a.type == CHL_TYPE_Y;
        if (octal && digits.find_first_of("89") != std::string::npos)
            Fail(&node, where, area + " addresses are octal; '" + text + "' has the digit 8 or 9");
        uint64_t value = std::stoull(digits, nullptr, octal ? 8 : 10);
        if (value > kAddressMax)
            Fail(&node, where,
                 "address out of range: " + std::to_string(value) + " (0.." + std::to_string(kAddressMax) + ")");
        a.address = static_cast<uint32_t>(value);
        if (dot != std::string::npos) {
            if (IsBitArea(static_cast<uint32_t>(a.type)))
                Fail(&node, where, "a bit where none fits: " + area + " is a bit area, its elements are bits");
            std::string bit = text.substr(dot + 1);
            if (bit.empty() || bit.size() > 2 ||
                !std::all_of(bit.begin(), bit.end(), [](char c) { return c >= '0' && c <= '9'; }))
                Fail(&node, where, "'" + text + "' needs a bit number 00..15 after the dot");
            a.bit = std::stoi(bit);
            if (a.bit > 15) Fail(&node, where, "bit out of range: " + bit + " (00..15)");
        }
        return a;
    }

    void ReadChannel(const toml::node& node, int number, Description& d) {
        const std::string where = "channel " + std::to_string(number);
        const toml::table* t = node.as_table();
        if (t == nullptr) Fail(&node, where, "expected a table");
        static const char* const kFields[] = {"address", "type", "count", "length", "rw", "name", "fast", "readmax"};
        for (auto&& [key, value] : *t)
            if (std::find(std::begin(kFields), std::end(kFields), key.str()) == std::end(kFields))
                Fail(&value, where,
                     "unknown field '" + std::string(key.str()) +
                         "' (fields: address, type, count, length, rw, name, fast, readmax)");
        const toml::node* addressNode = t->get("address");
        if (addressNode == nullptr) Fail(&node, where, "missing field 'address'");
        Address a = ParseAddress(*addressNode, where + ", address");
        bool bitArea = IsBitArea(static_cast<uint32_t>(a.type));
        std::string area = Str(CHL_STR_NAME[a.type]);

        // Data type: its index in the area's selection list.
        int index = 0;
        const toml::node* typeNode = t->get("type");
        std::string typeName;
        if (typeNode != nullptr) {
            typeName = Upper(Text(*typeNode, where + ", type"));
            CString probe(typeName.c_str());
            int word = CDevBas::mfGetDataTypeListNum(probe, CHL_WORDAREA_FIRST);  // as in a word area
            if (word < 0)
                Fail(typeNode, where + ", type",
                     "unknown data type '" + typeName + "' (WUB WB WD DUB DB DD DF LUB LB LD LF STR BT00..BT15)");
            if (bitArea && word > 15)
                Fail(typeNode, where + ", type",
                     area + " is a bit area; type " + typeName + " does not fit (leave it out)");
            if (!bitArea) {
                if (a.bit >= 0 && word > 15)
                    Fail(addressNode, where + ", address",
                         "a bit where none fits: type " + typeName + " is not a bit of a word");
                if (a.bit >= 0 && word != a.bit)
                    Fail(typeNode, where + ", type",
                         "bit ." + std::to_string(a.bit) + " of the address and type " + typeName + " disagree");
            }
            index = bitArea ? 0 : word;
        } else if (!bitArea) {
            if (a.bit < 0) Fail(&node, where, "missing field 'type' (WUB, DF, STR, BT03, ...)");
            index = a.bit;
        }

        int64_t count = 1;
        if (const toml::node* n = t->get("count")) count = Integer(*n, where + ", count", 1, kCountMax);
        int64_t length = -1;
        if (const toml::node* n = t->get("length")) {
            if (index != kIndexStr || bitArea) Fail(n, where + ", length", "a length belongs to STR channels only");
            length = Integer(*n, where + ", length", 1, kStringMax);
        } else if (index == kIndexStr && !bitArea) {
            Fail(&node, where, "missing field 'length' (bytes of the string, 1.." + std::to_string(kStringMax) + ")");
        }
        int rw = 2;
        if (const toml::node* n = t->get("rw")) rw = ReadRw(*n, where + ", rw");
        std::string name;
        if (const toml::node* n = t->get("name")) {
            if (count != 1) Fail(n, where + ", name", "a name fits a single row only (count = 1)");
            name = Text(*n, where + ", name");
            if (name.empty()) Fail(n, where + ", name", "empty name");
        }
        uint32_t fast = 0, readMax = 0;
        if (const toml::node* n = t->get("fast"))
            fast = static_cast<uint32_t>(Integer(*n, where + ", fast", 0, UINT32_MAX));
        if (const toml::node* n = t->get("readmax"))
            readMax = static_cast<uint32_t>(Integer(*n, where + ", readmax", 0, UINT32_MAX));

        // The driver's own expansion of a channel definition into rows.
        EnsureSchema();
        SChlInfo def;
        def.m_nChlType = a.type;
        def.m_nDataType = index;
        def.m_nBit = static_cast<int>(length);
        def.m_strAddress.Format("%u", a.address);
        def.m_nCount = static_cast<int>(count);
        def.m_nRWFlag = rw;
        CArray<CDevRow, CDevRow&> built;
        if (CDevBas::mfMakeDevRowsFromSChlInfo(def, built) != 1)
            Fail(&node, where, "the driver builds no rows from this channel");
        for (int i = 0; i < built.GetSize(); ++i) {
            Row r = FromDevRow(built[i]);
            uint64_t end = static_cast<uint64_t>(r.address) + RowWidth(r) - 1;
            if (end > kAddressMax)
                Fail(addressNode, where + ", address",
                     "address out of range: row " + std::to_string(i) + " ends at element " + std::to_string(end) +
                         ", beyond " + std::to_string(kAddressMax));
            r.fast = fast;
            r.readMax = readMax;
            if (!name.empty()) r.name = name;
            d.rows.push_back(r);
        }
    }

    int ReadRw(const toml::node& n, const std::string& where) const {
        if (n.is_integer()) return static_cast<int>(Integer(n, where, 0, 2));
        std::string v = Upper(Text(n, where));
        if (v == "R" || v == "RO" || v == Str(CHLNAME_STR_RWFLAG[0])) return 0;
        if (v == "W" || v == "WO" || v == Str(CHLNAME_STR_RWFLAG[1])) return 1;
        if (v == "RW" || v == Str(CHLNAME_STR_RWFLAG[2])) return 2;
        Fail(&n, where, "unknown read/write flag '" + n.as_string()->get() + "' (r, w, rw or 0, 1, 2)");
    }

    std::string m_source;
};

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Why a row cannot be written as a channel; empty when it can.
std::string Inexpressible(const Row& r) {
    if (r.type >= static_cast<uint32_t>(CHL_TYPE_COUNT))
        return "channel type " + std::to_string(r.type) + " is no area";
    if (r.rw > 2) return "read/write flag " + std::to_string(r.rw);
    if (r.address > kAddressMax) return "address " + std::to_string(r.address) + " beyond 24 bits";
    if (IsBitArea(r.type)) {
        if (r.code != DATACODE_BITAREA || r.bit != 0) return "bit-area row with data type " + std::to_string(r.code);
    } else if (r.code <= DATACODE_BIT_LAST) {
        if (r.bit != r.code) return "bit property " + std::to_string(r.bit) + " differs from data type";
    } else if (r.code == DATACODE_STR) {
        if (r.bit < 1 || r.bit > kStringMax) return "string length " + std::to_string(r.bit);
    } else if (r.code < DATACODE_WUB || r.code > DATACODE_LF || r.bit != 0) {
        return "data type " + std::to_string(r.code) + " with bit " + std::to_string(r.bit);
    }
    if (static_cast<uint64_t>(r.address) + RowWidth(r) - 1 > kAddressMax) return "row runs past the last address";
    return std::string();
}

}  // namespace

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const std::vector<PropertyInfo>& Properties() {
    static const std::vector<PropertyInfo> kProps = {
        {"station", DEVPROP_STATION, -1, 0},       {"wait_ms", DEVPROP_WAITTIME, -1, 0},
        {"order16", DEVPROP_ORDER16, 0, 2},        {"order32", DEVPROP_ORDER32, 2, 4},
        {"order_float", DEVPROP_ORDERFLOAT, 6, 4}, {"string_encoding", DEVPROP_STRENCODING, 10, 2},
        {"string_order", DEVPROP_STRORDER, 12, 2}, {"crc_order", DEVPROP_CRCORDER, 14, 2},
        {"order64", DEVPROP_ORDER64, 16, 8},       {"order_double", DEVPROP_ORDERDOUBLE, 24, 8},
    };
    return kProps;
}

Description ParseToml(std::string_view text, const std::string& sourceName) {
    toml::table root;
    try {
        root = toml::parse(text, sourceName);
    } catch (const toml::parse_error& e) {
        throw Error(sourceName + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    return Reader(sourceName).Read(root);
}

Description LoadToml(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot be read");
    std::stringstream ss;
    ss << in.rdbuf();
    return ParseToml(ss.str(), path);
}

Description ReadBlob(const std::vector<uint8_t>& blob, const std::string& sourceName) {
    EnsureSchema();
    if (blob.size() < 8)
        throw Error(sourceName + ": too short for a configuration (" + std::to_string(blob.size()) + " bytes)");
    // Stored and switched to loading at its end, the archive holds exactly the
    // blob and judges its version header as the driver does.
    COwnerArchive ar(ARCHIVE_STORING);
    ar.SvrWrite(blob.data(), static_cast<int>(blob.size()));
    ar.SvrChangeMode(ARCHIVE_LOADING);
    unsigned short version = ar.GetNowVersion();
    if (version > ARCHIVE_VERSION)
        throw Error(sourceName + ": written in a newer format (version " + std::to_string(version) + ")");
    Description d;
    d.oldForm = version < ARCHIVE_VERSION;
    // Read as the driver reads it (mfDeserializeFromOld, CDevTable): the
    // property count and properties, the table's row count and its rows, each
    // through the archive and CDevRow. Where the driver bounds a count or
    // leaves a cut-off name empty, a damaged blob is reported here instead of
    // read as zeros.
    int count = 0;
    ar >> count;
    if (count < 0 || static_cast<int64_t>(count) * 4 + 4 > ar.SvrGetRemaining())
        throw Error(sourceName + ": property count " + std::to_string(count) + " does not fit the blob");
    d.properties.resize(static_cast<size_t>(count));
    for (int32_t& p : d.properties) {
        int v = 0;
        ar >> v;
        p = v;
    }
    int rows = 0;
    ar >> rows;
    const int rowMinBytes = static_cast<int>(kRowMinBytes);
    if (rows < 0 || rows > ar.SvrGetRemaining() / rowMinBytes)
        throw Error(sourceName + ": the table claims " + std::to_string(rows) + " rows, but only " +
                    std::to_string(ar.SvrGetRemaining()) + " bytes follow");
    for (int i = 0; i < rows; ++i) {
        int before = ar.SvrGetRemaining();
        if (before < rowMinBytes) throw Error(sourceName + ": row " + std::to_string(i) + " is cut off");
        CDevRow row;
        ar >> row;
        // The archive reads only the count of a name whose count is negative
        // or runs past the end, and leaves the name empty: that count is then
        // the last thing read.
        if (before - ar.SvrGetRemaining() == rowMinBytes) {
            int32_t n = static_cast<int32_t>(Le32(blob, static_cast<size_t>(ar.SvrGetBufferSize()) - 4));
            if (n < 0 || n > ar.SvrGetRemaining())
                throw Error(sourceName + ": the name of row " + std::to_string(i) + " is cut off");
        }
        d.rows.push_back(FromDevRow(row));
    }
    return d;
}

Description LoadAny(const std::string& path) {
    if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".toml") == 0) return LoadToml(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot be read");
    std::vector<uint8_t> blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ReadBlob(blob, path);
}

std::vector<uint8_t> BuildBlob(const Description& description) {
    EnsureSchema();
    COwnerArchive ar(ARCHIVE_STORING);
    ar.SvrChangeMode(ARCHIVE_STORING);  // at position 0: writes the version header
    ar << static_cast<int>(description.properties.size());
    for (int32_t p : description.properties) ar << static_cast<int>(p);
    CArray<CDevRow, CDevRow&> rows;
    rows.SetSize(static_cast<int>(description.rows.size()));
    for (size_t i = 0; i < description.rows.size(); ++i) {
        CDevRow row = MakeDevRow(description.rows[i]);
        rows[static_cast<int>(i)] = row;
    }
    CDevTable table;
    table.AddRows(rows, 0);
    ar << table;
    const unsigned char* data = ar.SvrGetBuffer();
    return std::vector<uint8_t>(data, data + ar.SvrGetBufferSize());
}

std::string DumpToml(const Description& d, std::vector<std::string>* problems) {
    EnsureSchema();
    auto problem = [&](const std::string& p) {
        if (problems != nullptr) problems->push_back(p);
    };
    std::ostringstream out;
    out << "# " << d.rows.size() << " channel rows, " << d.properties.size() << " device properties"
        << (d.oldForm ? " (old form without version header; building writes the current form)" : "") << "\n";
    if (d.properties.size() != static_cast<size_t>(DEV_PROPERTY_COUNT))
        problem("the blob holds " + std::to_string(d.properties.size()) + " device properties; a description has " +
                std::to_string(DEV_PROPERTY_COUNT));
    out << "[device]\n";
    for (const PropertyInfo& p : Properties()) {
        if (static_cast<size_t>(p.index) >= d.properties.size()) continue;
        int32_t v = d.properties[static_cast<size_t>(p.index)];
        std::string value = std::to_string(v);
        if (p.firstLabel >= 0) {
            if (v >= 0 && v < p.labelCount)
                value = Quote(Str(DEV_STR_PROPERTLIST[p.firstLabel + v]));
            else
                problem(std::string(p.key) + " = " + value + " is no option");
        }
        std::string name = "check-code (CRC) byte order";
        for (int i = 0, prop = 0; i < DEV_PROPERTY_NAME_COUNT; ++i, ++prop) {
            if (prop == DEVPROP_CRCORDER) ++prop;  // the name table skips the CRC order
            if (prop == p.index) name = Str(DEV_STR_PROPERTYNAME[i]);
        }
        std::string line = std::string(p.key) + " = " + value;
        out << line << std::string(line.size() < 32 ? 32 - line.size() : 1, ' ') << "# " << name << "\n";
    }
    for (size_t i = 0; i < d.rows.size(); ++i) {
        const Row& r = d.rows[i];
        out << "\n";
        std::string why = Inexpressible(r);
        if (!why.empty()) {
            problem("row " + std::to_string(i) + " cannot be described: " + why);
            out << "# row " << i << " cannot be described (" << why << "): rw " << r.rw << ", type " << r.type
                << ", address " << r.address << ", bit " << r.bit << ", data type " << r.code << ", name "
                << Quote(r.name) << "\n";
            continue;
        }
        out << "[[channel]]  # " << i << " " << r.name << "\n";
        out << "address = " << Quote(AddressText(r)) << "\n";
        if (!IsBitArea(r.type) && r.code > DATACODE_BIT_LAST) out << "type = " << Quote(TypeName(r)) << "\n";
        if (r.code == DATACODE_STR) out << "length = " << r.bit << "\n";
        if (r.rw != 2) out << "rw = " << (r.rw == 0 ? "\"r\"" : "\"w\"") << "\n";
        if (r.name != DriverName(r)) out << "name = " << Quote(r.name) << "\n";
        if (r.fast != 0) out << "fast = " << r.fast << "\n";
        if (r.readMax != 0) out << "readmax = " << r.readMax << "\n";
    }
    return out.str();
}

DATATYPE ValueType(const Row& row) {
    if (row.code == DATACODE_STR) return DATATYPE_STRING;
    if (row.code == DATACODE_DUB || row.code == DATACODE_DF || (row.code >= DATACODE_LUB && row.code <= DATACODE_LF))
        return DATATYPE_DOUBLE;
    return DATATYPE_INT;
}

std::string TypeName(const Row& row) {
    if (IsBitArea(row.type) || row.code == DATACODE_BITAREA) return "BIT";
    if (row.code <= DATACODE_BIT_LAST) return Str(DATATYPE_STR_BITNAME[row.code]);
    if (row.code == DATACODE_STR) return "STR";
    if (row.code >= DATACODE_WUB && row.code <= DATACODE_LF) return Str(DATATYPE_STR_NAME[row.code - DATACODE_WUB]);
    return "?" + std::to_string(row.code);
}

std::string AddressText(const Row& row) {
    if (row.type >= static_cast<uint32_t>(CHL_TYPE_COUNT)) return "?" + std::to_string(row.address);
    char digits[32];
    bool octal = row.type == CHL_TYPE_X || row.type == CHL_TYPE_Y;
    std::snprintf(digits, sizeof digits, octal ? "%o" : "%u", row.address);
    std::string text = Str(CHL_STR_NAME[row.type]) + digits;
    if (!IsBitArea(row.type) && row.code <= DATACODE_BIT_LAST) {
        std::snprintf(digits, sizeof digits, ".%02u", row.code);
        text += digits;
    }
    return text;
}

}  // namespace devdesc
