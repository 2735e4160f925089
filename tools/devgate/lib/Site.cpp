#include "gateway/Site.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

namespace gateway {

namespace {

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += (text.empty() ? "" : "\n") + l;
    return text;
}

// Why the file cannot be read ("No such file or directory"); empty when it can.
std::string Unreadable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return std::strerror(errno);
    errno = 0;
    std::fgetc(f);
    std::string why = std::ferror(f) != 0 ? std::strerror(errno != 0 ? errno : EIO) : "";
    std::fclose(f);
    return why;
}

std::string Folder(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

class Reader {
public:
    explicit Reader(std::string path) : m_path(std::move(path)), m_folder(Folder(m_path)) {}

    Site Read(const toml::table& root) {
        Site site;
        site.path = m_path;
        Keys(root, {"line", "history"}, "");
        History(root, site.history);
        const toml::node* lines = root.get("line");
        if (lines == nullptr) {
            Fail(root, "the site has no [[line]]");
        } else if (const toml::array* a = lines->as_array(); a == nullptr || !a->is_array_of_tables()) {
            Fail(*lines, "line must be an array of tables ([[line]])");
        } else {
            for (const toml::node& n : *a) site.lines.push_back(Line(*n.as_table()));
        }
        if (!m_errors.empty()) throw SiteError(m_errors);
        return site;
    }

private:
    void Fail(const toml::node& at, const std::string& what) {
        m_errors.push_back(m_path + ":" + std::to_string(at.source().begin.line) + ": " + what);
    }

    void Keys(const toml::table& t, std::set<std::string> known, const std::string& where) {
        for (const auto& [key, node] : t)
            if (known.count(std::string(key.str())) == 0) Fail(node, "unknown key " + where + std::string(key.str()));
    }

    bool Number(const toml::table& t, const char* key, double& out) {
        const toml::node* n = t.get(key);
        if (n == nullptr) return false;
        std::optional<double> v = n->value<double>();  // an integer too
        if (!v || !(*v >= 0) || *v > 1e300) {
            Fail(*n, std::string(key) + " must be a number from 0 on");
            return false;
        }
        out = *v;
        return true;
    }

    void History(const toml::table& root, HistorySite& h) {
        const toml::node* n = root.get("history");
        if (n == nullptr) return;
        const toml::table* t = n->as_table();
        if (t == nullptr) {
            Fail(*n, "history must be a table ([history])");
            return;
        }
        Keys(*t, {"path", "retention_days", "max_mb"}, "in [history]: ");
        std::string file;
        if (!Get(*t, "path", file, "a string") || file.empty()) Fail(*t, "the history has no path");
        if (!file.empty()) h.path = file[0] == '/' ? file : m_folder + file;
        int64_t days = h.retentionDays, mb = h.maxMb;
        if (Int(*t, "retention_days", days, 1, 36500)) h.retentionDays = static_cast<unsigned>(days);
        if (Int(*t, "max_mb", mb, 1, 16777216)) h.maxMb = static_cast<unsigned>(mb);
    }

    // The rule's keys found in t over base.
    RecordRule Rule(const toml::table& t, RecordRule base) {
        Get(t, "history", base.record, "true or false");
        Number(t, "deadband", base.deadband);
        int64_t heartbeat = base.heartbeatS;
        if (Int(t, "heartbeat_s", heartbeat, 0, 31536000)) base.heartbeatS = static_cast<unsigned>(heartbeat);
        return base;
    }

    void Records(const toml::table& t, DeviceSite& d) {
        RecordRule rule = Rule(t, RecordRule{});
        d.records.assign(d.file.description.rows.size(), rule);
        const toml::node* list = t.get("channel");
        if (list == nullptr) return;
        const toml::array* a = list->as_array();
        if (a == nullptr || !a->is_array_of_tables()) {
            Fail(*list, "channel must be an array of tables ([[line.device.channel]])");
            return;
        }
        std::set<int> seen;
        for (const toml::node& n : *a) {
            const toml::table& c = *n.as_table();
            Keys(c, {"channel", "history", "deadband", "heartbeat_s"}, "in [[line.device.channel]]: ");
            std::string name;
            if (!Get(c, "channel", name, "a string")) {
                Fail(c, "the channel entry names no channel");
                continue;
            }
            int ch = FindChannel(d, name);
            if (ch < 0 && !d.file.description.rows.empty())
                Fail(c, "unknown channel " + name + " of device " + d.name);
            else if (ch >= 0 && !seen.insert(ch).second)
                Fail(c, "channel " + name + " is listed twice");
            else if (ch >= 0)
                d.records[static_cast<size_t>(ch)] = Rule(c, rule);
        }
    }

    template <typename T>
    bool Get(const toml::table& t, const char* key, T& out, const char* what) {
        const toml::node* n = t.get(key);
        if (n == nullptr) return false;
        if (auto v = n->value<T>()) {
            out = *v;
            return true;
        }
        Fail(*n, std::string(key) + " must be " + what);
        return false;
    }

    bool Int(const toml::table& t, const char* key, int64_t& out, int64_t lo, int64_t hi) {
        const toml::node* n = t.get(key);
        if (n == nullptr) return false;
        if (!n->is_integer() || **n->as_integer() < lo || **n->as_integer() > hi) {
            Fail(*n,
                 std::string(key) + " must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
            return false;
        }
        out = **n->as_integer();
        return true;
    }

    LineSite Line(const toml::table& t) {
        Keys(t,
             {"name", "port", "tcp", "simulate", "baud", "parity", "data", "stop", "rs485", "echo", "sim_baud",
              "device"},
             "in [[line]]: ");
        LineSite line;
        if (!Get(t, "name", line.name, "a string") || line.name.empty()) Fail(t, "the line has no name");
        if (!line.name.empty() && !m_lineNames.insert(line.name).second)
            Fail(*t.get("name"), "a second line named " + line.name);
        bool simulate = false;
        Get(t, "simulate", simulate, "true or false");
        int ways = Get(t, "port", line.port, "a string") + Get(t, "tcp", line.address, "a string") + simulate;
        if (ways != 1) Fail(t, "line " + line.name + " needs exactly one of port, tcp and simulate = true");
        line.kind = simulate                ? LineSite::Kind::Simulated
                    : !line.address.empty() ? LineSite::Kind::Tcp
                                            : LineSite::Kind::Serial;
        int64_t baud = 9600, data = 8, stop = 1, simBaud = 0;
        std::string parity = "N";
        Int(t, "baud", baud, 1, 4000000);
        Int(t, "data", data, 5, 8);
        Int(t, "stop", stop, 1, 2);
        Int(t, "sim_baud", simBaud, 0, 4000000);
        if (Get(t, "parity", parity, "a string") && (parity.size() != 1 || parity.find_first_of("NEOMS") != 0))
            Fail(*t.get("parity"), "parity must be N, E, O, M or S");
        std::string settings =
            std::to_string(baud) + "," + std::to_string(data) + "," + parity.substr(0, 1) + "," + std::to_string(stop);
        if (!SerialPort::ParseLineSettings(settings.c_str(), line.serial) && t.get("baud") != nullptr)
            Fail(*t.get("baud"), "baud rate " + std::to_string(baud) + " is not supported");
        Get(t, "rs485", line.rs485, "true or false");
        Get(t, "echo", line.echo, "true or false");
        if (line.rs485 && line.kind != LineSite::Kind::Serial)
            Fail(*t.get("rs485"), "rs485 needs a serial port (port = ...)");
        if (line.echo && line.kind == LineSite::Kind::Tcp)
            Fail(*t.get("echo"), "echo needs a serial port or a simulated line");
        line.simBaud = static_cast<unsigned>(simBaud);

        const toml::node* devices = t.get("device");
        const toml::array* a = devices != nullptr ? devices->as_array() : nullptr;
        if (devices == nullptr)
            Fail(t, "line " + line.name + " has no [[line.device]]");
        else if (a == nullptr || !a->is_array_of_tables())
            Fail(*devices, "device must be an array of tables ([[line.device]])");
        else
            for (const toml::node& n : *a) line.devices.push_back(Device(*n.as_table()));
        if (line.kind == LineSite::Kind::Simulated) {
            std::set<int> stations;
            for (size_t i = 0; i < line.devices.size() && a != nullptr; ++i)
                if (!line.devices[i].file.description.properties.empty() &&
                    !stations.insert(line.devices[i].file.description.properties[0]).second)
                    Fail(*(*a)[i].as_table(), "a second device at station " +
                                                  std::to_string(line.devices[i].file.description.properties[0]) +
                                                  " on the simulated line " + line.name);
        }
        return line;
    }

    DeviceSite Device(const toml::table& t) {
        Keys(t,
             {"name", "description", "blob", "station", "interval_ms", "offline_after", "probe_max_s", "modbus_unit",
              "modbus_others", "modbus", "deadband", "heartbeat_s", "history", "channel"},
             "in [[line.device]]: ");
        DeviceSite d;
        d.siteLine = static_cast<int>(t.source().begin.line);
        Modbus(t, d);
        if (!Get(t, "name", d.name, "a string") || d.name.empty()) Fail(t, "the device has no name");
        if (!d.name.empty() && !m_deviceNames.insert(d.name).second)
            Fail(*t.get("name"), "a second device named " + d.name);
        std::string description, blob;
        int ways = Get(t, "description", description, "a string") + Get(t, "blob", blob, "a string");
        if (ways != 1) {
            Fail(t, "device " + d.name + " needs exactly one of description and blob");
            return d;
        }
        std::string file = description.empty() ? blob : description;
        d.path = !file.empty() && file[0] == '/' ? file : m_folder + file;
        int64_t station = -1, interval = 0, offlineAfter = 0, probeMax = 0;
        if (Int(t, "station", station, 0, 255)) d.station = static_cast<int>(station);
        if (Int(t, "interval_ms", interval, 0, 86400000)) d.intervalMs = static_cast<unsigned>(interval);
        if (Int(t, "offline_after", offlineAfter, 1, 1000)) d.offlineAfter = static_cast<int>(offlineAfter);
        if (Int(t, "probe_max_s", probeMax, 1, 86400)) d.probeMaxS = static_cast<unsigned>(probeMax);
        const toml::node& named = *t.get(description.empty() ? "blob" : "description");
        if (std::string why = Unreadable(d.path); !why.empty()) {
            Fail(named, std::string(description.empty() ? "blob" : "description") + " " + devdesc::Quote(file) +
                            " cannot be read: " + why);
            return d;
        }
        try {
            if (!description.empty() && (file.size() < 5 || file.compare(file.size() - 5, 5, ".toml") != 0))
                Fail(*t.get("description"), "a description is a .toml file: " + file);
            else
                d.file = toolkit::LoadDeviceFile(d.path);
        } catch (const devdesc::Error& e) {
            m_errors.push_back(e.what());
            return d;
        }
        if (d.station >= 0) {
            if (d.file.description.properties.empty()) d.file.description.properties.resize(1);
            d.file.description.properties[0] = d.station;
            d.file.blob = devdesc::BuildBlob(d.file.description);
        }
        Records(t, d);
        return d;
    }

    void Modbus(const toml::table& t, DeviceSite& d) {
        int64_t unit = 0;
        if (Int(t, "modbus_unit", unit, 1, 247)) {
            d.modbusUnit = static_cast<int>(unit);
            d.modbusUnitLine = static_cast<int>(t.get("modbus_unit")->source().begin.line);
        }
        Get(t, "modbus_others", d.modbusOthers, "true or false");
        const toml::node* list = t.get("modbus");
        if (list == nullptr) return;
        const toml::array* a = list->as_array();
        if (a == nullptr || !a->is_array_of_tables()) {
            Fail(*list, "modbus must be an array of tables ([[line.device.modbus]])");
            return;
        }
        for (const toml::node& n : *a) {
            const toml::table& m = *n.as_table();
            Keys(m, {"channel", "table", "address"}, "in [[line.device.modbus]]: ");
            ModbusPlacement p;
            p.line = static_cast<int>(m.source().begin.line);
            int64_t address = 0;
            if (!Get(m, "channel", p.channel, "a string")) Fail(m, "the modbus entry names no channel");
            Get(m, "table", p.table, "a string");
            if (!Int(m, "address", address, 0, 65535) && m.get("address") == nullptr)
                Fail(m, "the modbus entry has no address");
            p.address = static_cast<long>(address);
            d.modbus.push_back(p);
        }
    }

    std::string m_path;
    std::string m_folder;
    std::vector<std::string> m_errors;
    std::set<std::string> m_lineNames;
    std::set<std::string> m_deviceNames;
};

}  // namespace

int FindChannel(const DeviceSite& device, const std::string& channel) {
    const std::vector<devdesc::Row>& rows = device.file.description.rows;
    for (size_t c = 0; c < rows.size(); ++c)
        if (rows[c].name == channel) return static_cast<int>(c);
    for (size_t c = 0; c < rows.size(); ++c)
        if (devdesc::AddressText(rows[c]) == channel) return static_cast<int>(c);
    return -1;
}

namespace {

bool SameRows(const std::vector<devdesc::Row>& a, const std::vector<devdesc::Row>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const devdesc::Row& x, const devdesc::Row& y) {
        return x.rw == y.rw && x.type == y.type && x.address == y.address && x.bit == y.bit && x.code == y.code &&
               x.fast == y.fast && x.readMax == y.readMax && x.name == y.name;
    });
}

bool SameDevice(const DeviceSite& a, const DeviceSite& b) {
    const devdesc::Description &x = a.file.description, &y = b.file.description;
    return a.name == b.name && a.station == b.station && a.intervalMs == b.intervalMs &&
           a.offlineAfter == b.offlineAfter && a.probeMaxS == b.probeMaxS && a.file.blob == b.file.blob &&
           x.properties == y.properties && SameRows(x.rows, y.rows) && x.simulatorSet == y.simulatorSet &&
           x.oldForm == y.oldForm;
}

}  // namespace

bool SameLine(const LineSite& a, const LineSite& b) {
    const SerialLineSettings &x = a.serial, &y = b.serial;
    return a.name == b.name && a.kind == b.kind && a.port == b.port && a.address == b.address && x.baud == y.baud &&
           x.dataBits == y.dataBits && x.parity == y.parity && x.stopBits == y.stopBits && x.rs485 == y.rs485 &&
           x.echo == y.echo && a.rs485 == b.rs485 && a.echo == b.echo && a.simBaud == b.simBaud &&
           std::equal(a.devices.begin(), a.devices.end(), b.devices.begin(), b.devices.end(), SameDevice);
}

SiteError::SiteError(std::vector<std::string> errors) : std::runtime_error(Join(errors)), m_errors(std::move(errors)) {}

Site LoadSite(const std::string& path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        if (e.source().begin.line == 0) throw SiteError({path + ": cannot be read"});
        throw SiteError({path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description())});
    }
    return Reader(path).Read(root);
}

}  // namespace gateway
