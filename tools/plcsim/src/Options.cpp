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

bool ReadSetFile(const std::string& path, Options& options, std::string& error) {
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
        options.assignments.push_back(line);
    }
    return true;
}

}  // namespace

const char* UsageText() {
    return "usage: plcsim [--pty [--link PATH] | --tcp PORT] [options]\n"
           "  --pty               serve on a pseudo-terminal (default); prints its device path first\n"
           "  --link PATH         also make PATH a symbolic link to the pseudo-terminal\n"
           "  --tcp PORT          serve on 127.0.0.1:PORT (0: any free port); prints host:port first\n"
           "  --station N         station address, 0..255 (default 1)\n"
           "  --crc lh|hl         CRC byte order: low byte first (default) or high byte first\n"
           "  --set ELEM=V[,V..]  initial values, e.g. --set D100=1234 --set M5=1 (repeatable)\n"
           "  --set-file FILE     initial values, one ELEM=V[,V..] a line, # starts a comment\n"
           "  --fault RULE        inject a fault (repeatable): KIND[:key=value,...]\n"
           "                      kinds: noanswer badcrc function short split delay 5b\n"
           "                      keys: req=N|N-M|N- fn=CODE rate=P code=CODE len=N chunk=N gap=MS ms=MS\n"
           "  --seed N            seed of the fault rates (default 1)\n"
           "  --baud N            pace answers as on a serial line at N baud (10 bits a byte)\n"
           "  --silence MS        an incomplete request ends after MS of silence (default 20)\n"
           "  --trace             print every request and answer as hex with a time stamp\n"
           "  --help              this text\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
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
            options.station = static_cast<uint8_t>(n);
        } else if (name == "--crc") {
            if (!take()) return false;
            if (value == "lh" || value == "LH") {
                options.crcOrder = CrcOrder::LowFirst;
            } else if (value == "hl" || value == "HL") {
                options.crcOrder = CrcOrder::HighFirst;
            } else {
                error = "--crc: expected lh or hl, got '" + value + "'";
                return false;
            }
        } else if (name == "--set") {
            if (!take() || !CheckAssignment(value, error)) return false;
            options.assignments.push_back(value);
        } else if (name == "--set-file") {
            if (!take() || !ReadSetFile(value, options, error)) return false;
        } else if (name == "--fault") {
            if (!take()) return false;
            std::string why;
            std::optional<FaultRule> rule = ParseFault(value, &why);
            if (!rule) {
                error = "--fault " + value + ": " + why;
                return false;
            }
            options.faults.push_back(*rule);
        } else if (name == "--seed") {
            if (!take()) return false;
            if (!ParseNumber(value, UINT64_MAX, n)) {
                error = "--seed: bad number '" + value + "'";
                return false;
            }
            options.seed = n;
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
    return true;
}

}  // namespace plcsim
