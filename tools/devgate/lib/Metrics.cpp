#include "gateway/Metrics.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

namespace gateway {

namespace {

std::string Number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char text[32];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

void Family(std::ostream& out, const std::string& name, const char* type, const std::string& help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

void Sample(std::ostream& out, const std::string& name, const std::string& labels, double value) {
    out << name;
    if (!labels.empty()) out << '{' << labels << '}';
    out << ' ' << Number(value) << '\n';
}

std::string Label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + MetricLabel(value) + '"';
}

struct DeviceRow {
    std::string labels;  // line and device
    DeviceStats stats;
};

struct LineRow {
    std::string labels;
    LineStats stats;
};

}  // namespace

std::string MetricLabel(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

bool ProcessUsage(double& residentBytes, double& cpuSeconds) {
    std::ifstream statm("/proc/self/statm");
    unsigned long size = 0, resident = 0;
    if (!(statm >> size >> resident)) return false;
    residentBytes = static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
    // The command name in parentheses may hold spaces: the fields count from
    // the last ')'. utime and stime are the 14th and 15th field, in clock ticks.
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (n == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    long ticks = sysconf(_SC_CLK_TCK);
    if (!fields || ticks <= 0) return false;
    cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(ticks);
    return true;
}

void WriteMetrics(std::ostream& out, const Gateway& g, const FaceHealth& faces) {
    std::vector<LineRow> lines;
    std::vector<DeviceRow> devices;
    for (const LineModel& l : g.Lines()) {
        lines.push_back({Label("line", l.name), g.LineStatsOf(l.name)});
        for (const std::string& d : l.devices)
            devices.push_back({Label("line", l.name) + ',' + Label("device", d), g.Stats(d)});
    }
    using LineValue = std::function<double(const LineStats&)>;
    auto lineFamily = [&](const std::string& name, const char* type, const std::string& help, const LineValue& v) {
        Family(out, name, type, help);
        for (const LineRow& r : lines) Sample(out, name, r.labels, v(r.stats));
    };
    lineFamily("devgate_line_up", "gauge", "1 while the line is up, 0 while it is down.",
               [](const LineStats& s) { return s.up ? 1.0 : 0.0; });
    lineFamily("devgate_line_downs_total", "counter", "Times the line failed.",
               [](const LineStats& s) { return static_cast<double>(s.downs); });
    lineFamily("devgate_line_cycles_total", "counter",
               "Rounds in which every online device of the line completed a full scan.",
               [](const LineStats& s) { return static_cast<double>(s.cycles); });
    lineFamily("devgate_line_cycle_last_seconds", "gauge", "The last cycle's duration.",
               [](const LineStats& s) { return s.lastCycleMs / 1000.0; });
    lineFamily("devgate_line_cycle_median_seconds", "gauge", "The median duration of the recent cycles.",
               [](const LineStats& s) { return s.medianCycleMs / 1000.0; });

    using DeviceValue = std::function<double(const DeviceStats&)>;
    auto deviceFamily = [&](const std::string& name, const char* type, const std::string& help, const DeviceValue& v) {
        Family(out, name, type, help);
        for (const DeviceRow& r : devices) Sample(out, name, r.labels, v(r.stats));
    };
    deviceFamily("devgate_device_calls_total", "counter", "Collection steps the driver carried out for the device.",
                 [](const DeviceStats& s) { return static_cast<double>(s.calls); });
    deviceFamily("devgate_device_requests_total", "counter", "Requests sent to the device.",
                 [](const DeviceStats& s) { return static_cast<double>(s.requests); });
    Family(out, "devgate_device_failures_total", "counter", "Collection steps that failed, by result code.");
    for (const DeviceRow& r : devices)
        for (const auto& [code, count] : r.stats.failures)
            Sample(out, "devgate_device_failures_total", r.labels + ',' + Label("code", std::to_string(code)),
                   static_cast<double>(count));
    deviceFamily("devgate_device_online", "gauge", "1 while the device answers, 0 while it is offline.",
                 [](const DeviceStats& s) { return s.online ? 1.0 : 0.0; });
    deviceFamily("devgate_device_offline_transitions_total", "counter", "Times the device went offline.",
                 [](const DeviceStats& s) { return static_cast<double>(s.offlines); });
    deviceFamily("devgate_device_scans_total", "counter", "Full scans completed (every channel read once).",
                 [](const DeviceStats& s) { return static_cast<double>(s.scans); });
    deviceFamily("devgate_device_scan_last_seconds", "gauge", "The last full scan's duration.",
                 [](const DeviceStats& s) { return s.lastScanMs / 1000.0; });
    deviceFamily("devgate_device_scan_median_seconds", "gauge", "The median duration of the recent full scans.",
                 [](const DeviceStats& s) { return s.medianScanMs / 1000.0; });
    const std::string latency = "devgate_device_request_duration_seconds";
    Family(out, latency, "histogram", "From a request's first byte sent to its answer's last byte received.");
    const std::vector<double>& bounds = LatencyBoundsMs();
    for (const DeviceRow& r : devices) {
        for (size_t b = 0; b < bounds.size(); ++b) {
            double count = b < r.stats.latencyAtMost.size() ? static_cast<double>(r.stats.latencyAtMost[b]) : 0.0;
            Sample(out, latency + "_bucket", r.labels + ",le=\"" + Number(bounds[b] / 1000.0) + '"', count);
        }
        Sample(out, latency + "_bucket", r.labels + ",le=\"+Inf\"", static_cast<double>(r.stats.latencyCount));
        Sample(out, latency + "_sum", r.labels, r.stats.latencySumMs / 1000.0);
        Sample(out, latency + "_count", r.labels, static_cast<double>(r.stats.latencyCount));
    }

    // The faces' items, one family a name, one sample a face.
    std::map<std::string, std::vector<std::pair<std::string, const HealthItem*>>> byName;
    for (const auto& [face, items] : faces)
        for (const HealthItem& item : items) byName["devgate_" + item.name].emplace_back(face, &item);
    for (const auto& [name, samples] : byName) {
        const HealthItem& first = *samples.front().second;
        Family(out, name, first.kind == HealthItem::Kind::Counter ? "counter" : "gauge", first.help);
        for (const auto& [face, item] : samples) Sample(out, name, Label("face", face), item->value);
    }

    double resident = 0.0, cpu = 0.0;
    if (ProcessUsage(resident, cpu)) {
        Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        Sample(out, "process_resident_memory_bytes", "", resident);
        Family(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
        Sample(out, "process_cpu_seconds_total", "", cpu);
    }
}

}  // namespace gateway
