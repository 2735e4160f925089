#include "gateway/ModbusMap.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace gateway {

namespace {

const char* const kTables[] = {"holding", "input", "coil", "discrete"};

bool TableOf(const std::string& word, ModbusTable& table) {
    for (int i = 0; i < 4; ++i)
        if (word == kTables[i]) {
            table = static_cast<ModbusTable>(i);
            return true;
        }
    return false;
}

bool IsBitTable(ModbusTable t) { return t == ModbusTable::Coil || t == ModbusTable::Discrete; }

// One device's channels placed on its unit.
class UnitBuilder {
public:
    UnitBuilder(const std::string& path, const DeviceSite& device, int unit, std::vector<std::string>& errors)
        : m_path(path), m_device(device), m_unit(unit), m_errors(errors) {}

    void Build(std::vector<ModbusEntry>& out) {
        const std::vector<devdesc::Row>& rows = m_device.file.description.rows;
        std::vector<bool> listed(rows.size(), false);
        for (const ModbusPlacement& p : m_device.modbus) {
            int c = Find(p.channel);
            if (c < 0) {
                Fail(p.line, "unknown channel " + p.channel + " of device " + m_device.name);
                continue;
            }
            if (listed[static_cast<size_t>(c)]) {
                Fail(p.line, "channel " + p.channel + " is listed twice");
                continue;
            }
            listed[static_cast<size_t>(c)] = true;
            ModbusEntry e = Entry(c);
            if (!p.table.empty() && !TableOf(p.table, e.table)) {
                Fail(p.line, "unknown table " + p.table + " (holding, input, coil or discrete)");
                continue;
            }
            if (IsBitTable(e.table) != ModbusIsBit(e.kind)) {
                Fail(p.line,
                     "channel " + p.channel +
                         (ModbusIsBit(e.kind) ? " is a bit: coil or discrete" : " is no bit: holding or input"));
                continue;
            }
            e.address = static_cast<unsigned>(p.address);
            Place(e, p.line, true);
        }
        if (m_device.modbusOthers)
            for (size_t c = 0; c < rows.size(); ++c)
                if (!listed[c]) {
                    ModbusEntry e = Entry(static_cast<int>(c));
                    e.address = m_next[static_cast<int>(e.table)];
                    Place(e, m_device.siteLine, false);  // after every other: no overlap
                }
        out.insert(out.end(), m_entries.begin(), m_entries.end());
    }

private:
    void Fail(int line, const std::string& what) {
        m_errors.push_back(m_path + ":" + std::to_string(line) + ": " + what);
    }

    int Find(const std::string& channel) const { return FindChannel(m_device, channel); }

    ModbusEntry Entry(int c) const {
        const devdesc::Row& r = m_device.file.description.rows[static_cast<size_t>(c)];
        ModbusEntry e;
        e.unit = m_unit;
        e.device = m_device.name;
        e.channel = c;
        e.name = r.name;
        e.element = devdesc::AddressText(r);
        e.kind = r.code <= 15 ? "BIT" : devdesc::TypeName(r);
        e.length = e.kind == "STR" ? r.bit : 0;
        e.type = devdesc::ValueType(r);
        e.rw = static_cast<int>(r.rw);
        e.table = ModbusIsBit(e.kind) ? ModbusTable::Coil : ModbusTable::Holding;
        e.count = ModbusWidth(e.kind, e.length);
        return e;
    }

    void Place(const ModbusEntry& e, int line, bool check) {
        const char* table = ModbusTableWord(e.table);
        if (e.address + e.count > 65536) {
            Fail(line, "channel " + e.name + " of device " + m_device.name +
                           " does not fit below address 65536 of the " + table + " table");
            return;
        }
        for (const ModbusEntry& o : m_entries)
            if (check && o.table == e.table && e.address < o.address + o.count && o.address < e.address + e.count) {
                Fail(line, "channel " + e.name + " at " + table + " " + std::to_string(e.address) + " overlaps " +
                               o.name + " at " + std::to_string(o.address) + " on unit " + std::to_string(m_unit));
                return;
            }
        m_entries.push_back(e);
        unsigned& next = m_next[static_cast<int>(e.table)];
        next = std::max(next, e.address + e.count);
    }

    const std::string& m_path;
    const DeviceSite& m_device;
    int m_unit;
    std::vector<std::string>& m_errors;
    std::vector<ModbusEntry> m_entries;
    unsigned m_next[4] = {0, 0, 0, 0};
};

}  // namespace

const char* ModbusTableWord(ModbusTable table) { return kTables[static_cast<int>(table)]; }

bool ModbusIsBit(const std::string& kind) { return kind == "BIT"; }

unsigned ModbusWidth(const std::string& kind, unsigned length) {
    if (kind == "STR") return std::max(1u, (length + 1) / 2);
    if (kind.empty() || kind == "BIT") return 1;
    return kind[0] == 'D' ? 2 : kind[0] == 'L' ? 4 : 1;
}

ModbusMap BuildModbusMap(const Site& site, std::vector<std::string>& errors) {
    ModbusMap map;
    std::map<int, std::string> taken;
    int place = 0;
    for (const LineSite& l : site.lines)
        for (const DeviceSite& d : l.devices) {
            ++place;
            int unit = d.modbusUnit != 0 ? d.modbusUnit : place;
            int line = d.modbusUnit != 0 ? d.modbusUnitLine : d.siteLine;
            std::string at = site.path + ":" + std::to_string(line) + ": ";
            if (unit > 247) {
                errors.push_back(at + "device " + d.name + " would be unit " + std::to_string(unit) +
                                 " (1..247): give it a modbus_unit");
                continue;
            }
            if (!taken.emplace(unit, d.name).second) {
                errors.push_back(at + "device " + d.name + " takes unit " + std::to_string(unit) + " of device " +
                                 taken[unit]);
                continue;
            }
            map.units.emplace_back(unit, d.name);
            UnitBuilder(site.path, d, unit, errors).Build(map.entries);
        }
    std::sort(map.entries.begin(), map.entries.end(), [](const ModbusEntry& a, const ModbusEntry& b) {
        return std::tie(a.unit, a.table, a.address) < std::tie(b.unit, b.table, b.address);
    });
    return map;
}

ModbusMap ModbusMapOf(const Site& site) {
    std::vector<std::string> errors;
    ModbusMap map = BuildModbusMap(site, errors);
    if (!errors.empty()) throw SiteError(errors);
    return map;
}

}  // namespace gateway
