// Command line of the plcsim program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plcsim/Crc.h"
#include "plcsim/Faults.h"

namespace plcsim {

// What one station of the simulated bus starts with.
struct StationOptions {
    uint8_t station = 1;
    CrcOrder crcOrder = CrcOrder::LowFirst;
    uint64_t seed = 1;
    std::vector<std::string> assignments;
    std::vector<FaultRule> faults;
};

// Options --crc, --seed, --set, --set-file and --fault belong to a station:
// those given after a --station to that station alone, those before the first
// --station to every station. With a single --station (or none: station 1)
// everything applies to the one station, wherever it stands.
struct Options {
    enum class Transport { Pty, Tcp };
    Transport transport = Transport::Pty;
    uint16_t tcpPort = 0;  // 0: any free port
    std::string link;      // symbolic link to create for the pseudo-terminal
    uint8_t station = 1;
    CrcOrder crcOrder = CrcOrder::LowFirst;
    uint64_t seed = 1;
    std::vector<std::string> assignments;  // "D100=1234", from --set and --set-file, in order
    std::vector<FaultRule> faults;
    unsigned baud = 0;
    unsigned silenceMs = 20;
    bool trace = false;
    bool echo = false;  // send each request's bytes back before its answer
    bool help = false;
    // Every station to serve, in command-line order, with the options before
    // the first --station merged in. The fields station..faults above hold the
    // one station's options when there is one, else the options before the
    // first --station (and the first station's address).
    std::vector<StationOptions> stations;
};

// Parses the arguments after the program name ("--opt value" or
// "--opt=value"); reads the files of --set-file and checks every assignment.
// False with a message in error when the command line is wrong.
bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error);

const char* UsageText();

}  // namespace plcsim
