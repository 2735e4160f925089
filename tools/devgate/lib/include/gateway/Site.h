// A gateway site: its lines (a serial port, a serial device server on TCP, or
// a simulated bus) and on each line its devices, every one with its own
// description and optionally its own station and polling interval.
//
//   [[line]]
//   name = "bus1"
//   port = "/dev/ttyUSB0"   # or tcp = "HOST:PORT", or simulate = true
//   baud = 19200            # parity, data, stop, rs485, echo; sim_baud paces a simulated line
//     [[line.device]]
//     name = "press1"
//     description = "press.toml"   # or blob = "press.bin"
//     station = 3
//     interval_ms = 100
//     offline_after = 3             # steps without an answer before it goes offline
//     probe_max_s = 30              # longest pause between an offline device's probes
//     modbus_unit = 3               # the Modbus face's register map: see ModbusMap.h
//     deadband = 0.5                # the history: see RecordRule
//     heartbeat_s = 60
//       [[line.device.channel]]     # a channel's own history rule
//       channel = "D100"
//       history = false
//
//   [history]                       # a history on disk (devgate's history library)
//   path = "site-history.db"
//   retention_days = 30
//   max_mb = 1024
//
// Paths are relative to the site file.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "HostPorts.h"
#include "toolkit/DeviceFile.h"

namespace gateway {

// How the changes of a channel are recorded in the history: a change of
// value smaller than deadband (absolute) since the last recorded value is not
// recorded; an unchanged value is recorded again every heartbeatS seconds (0:
// never); record = false records nothing.
struct RecordRule {
    bool record = true;
    double deadband = 0.0;
    unsigned heartbeatS = 0;
};

// The history on disk; no path: none.
struct HistorySite {
    std::string path;  // the database: the site's path taken from the site file's folder
    unsigned retentionDays = 30;
    unsigned maxMb = 1024;
};

// A channel a device's [[line.device.modbus]] places, as written in the
// site: the Modbus face's own part of the site, which the face checks and
// turns into its register map.
struct ModbusPlacement {
    std::string channel;
    std::string table;  // empty: by the channel's kind
    long address = 0;
    int line = 0;  // in the site file
};

struct DeviceSite {
    std::string name;
    std::string path;  // the description or blob, as opened
    int station = -1;  // -1: the description's
    unsigned intervalMs = 0;
    int offlineAfter = 3;      // steps in a row without an answer that take it offline
    unsigned probeMaxS = 30;   // longest pause between two probes while offline
    toolkit::DeviceFile file;  // the station override applied
    int siteLine = 0;          // of its [[line.device]]
    int modbusUnit = 0;        // 0: by its place in the site
    int modbusUnitLine = 0;
    bool modbusOthers = true;  // channels not listed in modbus keep a default place
    std::vector<ModbusPlacement> modbus;
    std::vector<RecordRule> records;  // one a channel: the device's rule or the channel's own
};

struct LineSite {
    enum class Kind { Serial, Tcp, Simulated };
    std::string name;
    Kind kind = Kind::Serial;
    std::string port;           // Serial: the device
    std::string address;        // Tcp: HOST:PORT
    SerialLineSettings serial;  // Serial: baud, data, parity, stop
    bool rs485 = false;         // kernel RS-485 direction control (serial ports)
    bool echo = false;          // the line returns every byte sent
    unsigned simBaud = 0;       // Simulated: pace the answers at this rate
    std::vector<DeviceSite> devices;
};

struct Site {
    std::string path;
    std::vector<LineSite> lines;
    HistorySite history;
};

// Every fault found in a site file, each "file:line: what is wrong".
class SiteError : public std::runtime_error {
public:
    explicit SiteError(std::vector<std::string> errors);
    const std::vector<std::string>& Errors() const { return m_errors; }

private:
    std::vector<std::string> m_errors;
};

// The channel of the device by name, or else by element ("D100"); -1 when
// there is none.
int FindChannel(const DeviceSite& device, const std::string& channel);

// Whether a running line can go on as it is under b: the same line settings
// and devices (name, station, interval, offline and probe settings,
// description contents) in the same order. History and register map settings
// do not count: the faces take them from the new site.
bool SameLine(const LineSite& a, const LineSite& b);

// Reads and checks the site and every device description in it; throws
// SiteError listing all faults.
Site LoadSite(const std::string& path);

}  // namespace gateway
