// devhost's command line: the options of the three commands, and the checks
// of what they say before anything is opened. Every fault of the command line
// is reported as a CommandLineError (exit status 2).
#pragma once

#include <CLI/CLI.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "DeviceDescription.h"
#include "toolkit/Database.h"
#include "toolkit/Output.h"
#include "toolkit/Plugin.h"
#include "toolkit/PortFactory.h"

namespace devhost {

using toolkit::Format;
using toolkit::TypeWord;

class CommandLineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string plugin = QUORLAN_DEFAULT_PLUGIN;
    std::string config;
    std::string port;
    unsigned baud = 9600;
    std::string parity = "N";
    int dataBits = 8;
    int stopBits = 1;
    std::string tcp;
    bool simulate = false;
    std::vector<std::string> sets;
    unsigned simBaud = 0;
    bool trace = false;
    // run
    long cycles = 0;
    unsigned intervalMs = 100;
    Format format = Format::Table;
    // write
    std::string channel;
    std::string value;
    // ioctl
    std::string command;
    std::vector<std::string> vars;
};

// The commands with their options, bound to o.
struct Commands {
    CLI::App* run = nullptr;
    CLI::App* write = nullptr;
    CLI::App* ioctl = nullptr;
};
Commands AddCommands(CLI::App& app, Options& o);

// Checks what CLI11 cannot: exactly one way to the PLC. Throws CommandLineError.
void CheckPortChoice(const Options& o);
// The port options of the command line; the simulator's on top of the device's.
toolkit::PortOptions PortOptionsOf(const Options& o, const toolkit::SimulatorOptions& device);

// A host variable NAME:int|double|string[=VALUE]; false with a reason.
bool ParseVariable(const std::string& text, std::string& name, toolkit::Value& value, std::string& error);
// The channel a --channel names: its number or its name (the name's case
// ignored). Throws CommandLineError.
int FindChannel(const std::vector<devdesc::Row>& rows, const std::string& text);
// The --value for a channel of the device, as the channel can hold it
// (toolkit::Admit). Throws CommandLineError.
toolkit::Value ParseValue(const std::string& text, const devdesc::Description& device, int channel);

}  // namespace devhost
