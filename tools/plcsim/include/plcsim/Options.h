// Command line of the plcsim program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plcsim/Crc.h"
#include "plcsim/Faults.h"

namespace plcsim {

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
    bool help = false;
};

// Parses the arguments after the program name ("--opt value" or
// "--opt=value"); reads the files of --set-file and checks every assignment.
// False with a message in error when the command line is wrong.
bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error);

const char* UsageText();

}  // namespace plcsim
