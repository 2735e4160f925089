#include "plcsim/Options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "plcsim/Plc.h"

namespace plcsim {

namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Checks an assignment on a scratch PLC; false with a message when it is bad.
bool CheckAssignment(const std::string& text, std::string& error) {
    try {
        Plc scratch;
        scratch.Assign(text);
        return true;
    } catch (const std::exception& e) {
        error = "--set " + text + ": " + e.what();
        return false;
    }
}

bool ReadSetFile(const std::string& path, std::vector<std::string>& assignments, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = Trim(line);
        if (line.empty()) continue;
        if (!CheckAssignment(line, error)) {
            error = path + ":" + std::to_string(number) + ": " + error.substr(error.find(": ") + 2);
            return false;
        }
        assignments.push_back(line);
    }
    return true;
}

// The options of one station as given: crcOrder and seed only when named.
struct Section {
    StationOptions options;
    bool crcGiven = false;
    bool seedGiven = false;
};

StationOptions Merge(const Section& common, const Section& own) {
    StationOptions merged = common.options;
    merged.station = own.options.station;
    if (own.crcGiven) merged.crcOrder = own.options.crcOrder;
    if (own.seedGiven) merged.seed = own.options.seed;
    merged.assignments.insert(merged.assignments.end(), own.options.assignments.begin(), own.options.assignments.end());
    merged.faults.insert(merged.faults.end(), own.options.faults.begin(), own.options.faults.end());
    return merged;
}

// Fills the station list and the one-station fields from the sections.
void Distribute(const std::vector<Section>& sections, Options& options) {
    const Section& common = sections[0];
    StationOptions flat = common.options;
    options.stations.clear();
    if (sections.size() <= 2) {
        flat = sections.size() == 2 ? Merge(common, sections[1]) : common.options;
        options.stations.push_back(flat);
    } else {
        flat.station = sections[1].options.station;
        for (size_t i = 1; i < sections.size(); ++i) options.stations.push_back(Merge(common, sections[i]));
    }
    options.station = flat.station;
    options.crcOrder = flat.crcOrder;
    options.seed = flat.seed;
    options.assignments = flat.assignments;
    options.faults = flat.faults;
}

}  // namespace

const char* UsageText() {
    return "usage: plcsim [--pty [--link PATH] | --tcp PORT] [options]\n"
           "  --pty               serve on a pseudo-terminal (default); prints its device path first\n"
           "  --link PATH         also make PATH a symbolic link to the pseudo-terminal\n"
           "  --tcp PORT          serve on 127.0.0.1:PORT (0: any free port); prints host:port first\n"
           "  --station N         station address, 0..255 (default 1); repeat it for a bus of several\n"
           "                      stations: --crc --seed --set --set-file --fault after a --station\n"
           "                      apply to that station, before the first --station to every station\n"
           "  --crc lh|hl         CRC byte order: low byte first (default) or high byte first\n"
           "  --set ELEM=V[,V..]  initial values, e.g. --set D100=1234 --set M5=1 (repeatable)\n"
           "  --set-file FILE     initial values, one ELEM=V[,V..] a line, # starts a comment\n"
           "  --fault RULE        inject a fault (repeatable): KIND[:key=value,...]\n"
           "                      kinds: noanswer badcrc function short split delay 5b stream reset\n"
           "                      keys: req=N|N-M|N- fn=CODE rate=P code=CODE len=N chunk=N gap=MS ms=MS\n"
           "  --seed N            seed of the fault rates (default 1)\n"
           "  --baud N            pace answers as on a serial line at N baud (10 bits a byte)\n"
           "  --silence MS        an incomplete request ends after MS of silence (default 20)\n"
           "  --trace             print every request and answer as hex with a time stamp\n"
           "  --echo              send each request's bytes back before its answer (two-wire RS-485)\n"
           "  --help              this text\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error) {
    std::vector<Section> sections(1);
    sections[0].options = {options.station, options.crcOrder, options.seed, options.assignments, options.faults};
    for (size_t i = 0; i < args.size(); ++i) {
        Section& section = sections.back();
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
            inlineValue = true;
        }
        auto take = [&]() -> bool {
            if (inlineValue) return true;
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto flag = [&]() -> bool {
            if (inlineValue) error = name + " takes no value";
            return !inlineValue;
        };
        uint64_t n = 0;
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--pty") {
            if (!flag()) return false;
            options.transport = Options::Transport::Pty;
        } else if (name == "--trace") {
            if (!flag()) return false;
            options.trace = true;
        } else if (name == "--echo") {
            if (!flag()) return false;
            options.echo = true;
        } else if (name == "--tcp") {
            if (!take()) return false;
            if (!ParseNumber(value, 65535, n)) {
                error = "--tcp: bad port '" + value + "'";
                return false;
            }
            options.transport = Options::Transport::Tcp;
            options.tcpPort = static_cast<uint16_t>(n);
        } else if (name == "--link") {
            if (!take()) return false;
            options.link = value;
        } else if (name == "--station") {
            if (!take()) return false;
            if (!ParseNumber(value, 255, n)) {
                error = "--station: expected 0..255, got '" + value + "'";
                return false;
            }
            for (size_t s = 1; s < sections.size(); ++s) {
                if (sections[s].options.station == n) {
                    error = "--station " + value + " given twice";
                    return false;
                }
            }
            sections.emplace_back();
            sections.back().options.station = static_cast<uint8_t>(n);
        } else if (name == "--crc") {
            if (!take()) return false;
            section.crcGiven = true;
            if (value == "lh" || value == "LH") {
                section.options.crcOrder = CrcOrder::LowFirst;
            } else if (value == "hl" || value == "HL") {
                section.options.crcOrder = CrcOrder::HighFirst;
            } else {
                error = "--crc: expected lh or hl, got '" + value + "'";
                return false;
            }
        } else if (name == "--set") {
            if (!take() || !CheckAssignment(value, error)) return false;
            section.options.assignments.push_back(value);
        } else if (name == "--set-file") {
            if (!take() || !ReadSetFile(value, section.options.assignments, error)) return false;
        } else if (name == "--fault") {
            if (!take()) return false;
            std::string why;
            std::optional<FaultRule> rule = ParseFault(value, &why);
            if (!rule) {
                error = "--fault " + value + ": " + why;
                return false;
            }
            section.options.faults.push_back(*rule);
        } else if (name == "--seed") {
            if (!take()) return false;
            if (!ParseNumber(value, UINT64_MAX, n)) {
                error = "--seed: bad number '" + value + "'";
                return false;
            }
            section.seedGiven = true;
            section.options.seed = n;
        } else if (name == "--baud") {
            if (!take()) return false;
            if (!ParseNumber(value, 10000000, n) || n == 0) {
                error = "--baud: expected 1..10000000, got '" + value + "'";
                return false;
            }
            options.baud = static_cast<unsigned>(n);
        } else if (name == "--silence") {
            if (!take()) return false;
            if (!ParseNumber(value, 60000, n) || n == 0) {
                error = "--silence: expected 1..60000 ms, got '" + value + "'";
                return false;
            }
            options.silenceMs = static_cast<unsigned>(n);
        } else {
            error = "unknown option '" + args[i] + "'";
            return false;
        }
    }
    if (!options.link.empty() && options.transport != Options::Transport::Pty) {
        error = "--link needs --pty";
        return false;
    }
    Distribute(sections, options);
    return true;
}

}  // namespace plcsim
