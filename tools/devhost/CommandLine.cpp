#include "CommandLine.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "toolkit/Output.h"
#include "toolkit/ValueRule.h"

namespace devhost {

namespace {

bool IsAsciiDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void AddCommon(CLI::App* cmd, Options& o) {
    cmd->add_option("--plugin", o.plugin, "The plug-in library")->capture_default_str();
    cmd->add_option("--config", o.config, "Device description (.toml) or configuration blob (.bin)")->required();
    CLI::Option* port = cmd->add_option("--port", o.port, "Serial device, e.g. /dev/ttyUSB0");
    cmd->add_option("--baud", o.baud, "Baud rate of --port")->capture_default_str()->needs(port);
    cmd->add_option("--parity", o.parity, "Parity of --port: N, E or O")
        ->check(CLI::IsMember({"N", "E", "O"}))
        ->capture_default_str()
        ->needs(port);
    cmd->add_option("--data", o.dataBits, "Data bits of --port: 7 or 8")
        ->check(CLI::IsMember({7, 8}))
        ->capture_default_str()
        ->needs(port);
    cmd->add_option("--stop", o.stopBits, "Stop bits of --port: 1 or 2")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str()
        ->needs(port);
    cmd->add_option("--tcp", o.tcp, "Serial device server, HOST:PORT");
    CLI::Option* simulate = cmd->add_flag("--simulate", o.simulate, "Talk to a simulated PLC on a pseudo-terminal");
    cmd->add_option("--set", o.sets, "Simulated PLC values, e.g. D100=5 (with --simulate)")
        ->allow_extra_args(false)
        ->needs(simulate);
    cmd->add_option("--sim-baud", o.simBaud, "Pace the simulated PLC's answers as on a line of this baud rate")
        ->needs(simulate);
    cmd->add_flag("--trace", o.trace, "Print every frame through the port as hex (on standard error)");
}

}  // namespace

Commands AddCommands(CLI::App& app, Options& o) {
    Commands c;
    c.run = app.add_subcommand("run", "Poll all channels with CollectDevData");
    AddCommon(c.run, o);
    c.run->add_option("--cycles", o.cycles, "CollectDevData calls (0: until Ctrl-C)")
        ->check(CLI::Range(0L, LONG_MAX))
        ->capture_default_str();
    c.run->add_option("--interval", o.intervalMs, "Pause between calls, ms")->capture_default_str();
    c.run
        ->add_option_function<std::string>(
            "--format",
            [&o](const std::string& text) {
                o.format = text == "csv" ? Format::Csv : text == "jsonl" ? Format::Jsonl : Format::Table;
            },
            "table, csv or jsonl (one line per stored value)")
        ->check(CLI::IsMember({"table", "csv", "jsonl"}))
        ->default_str("table");
    c.write = app.add_subcommand("write", "Write one channel");
    AddCommon(c.write, o);
    c.write->add_option("--channel", o.channel, "Channel number or name")->required();
    c.write->add_option("--value", o.value, "Value to write")->required();
    c.ioctl = app.add_subcommand("ioctl", "Carry out one IOCtrl command");
    AddCommon(c.ioctl, o);
    c.ioctl->add_option("COMMAND", o.command, "e.g. 'READ(D,100,WUB=Level=Done)'")->required();
    c.ioctl->add_option("--var", o.vars, "Host variable NAME:int|double|string[=VALUE]")
        ->allow_extra_args(false)
        ->check(CLI::Validator(
            [](std::string& text) {
                std::string name, error;
                toolkit::Value v;
                return ParseVariable(text, name, v, error) ? std::string() : error;
            },
            "NAME:TYPE[=VALUE]"));
    return c;
}

void CheckPortChoice(const Options& o) {
    int ways = (o.port.empty() ? 0 : 1) + (o.tcp.empty() ? 0 : 1) + (o.simulate ? 1 : 0);
    if (ways != 1) throw CommandLineError("give exactly one of --port DEV, --tcp HOST:PORT and --simulate");
}

toolkit::PortOptions PortOptionsOf(const Options& o, const toolkit::SimulatorOptions& device) {
    toolkit::PortOptions p;
    if (o.simulate) {
        p.kind = toolkit::PortOptions::Kind::Simulated;
        p.simulator = device;
        p.simulator.assignments.insert(p.simulator.assignments.end(), o.sets.begin(), o.sets.end());
        p.simulator.baud = o.simBaud;
    } else if (!o.port.empty()) {
        p.kind = toolkit::PortOptions::Kind::Serial;
        p.device = o.port;
        p.line.baud = o.baud;
        p.line.parity = o.parity.empty() ? 'N' : o.parity[0];
        p.line.dataBits = o.dataBits;
        p.line.stopBits = o.stopBits;
    } else {
        p.kind = toolkit::PortOptions::Kind::Tcp;
        p.address = o.tcp;
    }
    return p;
}

bool ParseVariable(const std::string& text, std::string& name, toolkit::Value& value, std::string& error) {
    error = text + ": expected NAME:int, NAME:double or NAME:string[=VALUE]";
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    name = text.substr(0, colon);
    std::string type = text.substr(colon + 1), init;
    size_t eq = type.find('=');
    bool hasInit = eq != std::string::npos;
    if (hasInit) {
        init = type.substr(eq + 1);
        type = type.substr(0, eq);
    }
    value = toolkit::Value();
    if (type == "int") {
        value.type = DATATYPE_INT;
        long long v = 0;
        if (hasInit && !toolkit::ParseInteger(init, INT_MIN, INT_MAX, v)) {
            error = text + ": '" + init + "' is no int value";
            return false;
        }
        value.i = static_cast<int>(v);
    } else if (type == "double") {
        value.type = DATATYPE_DOUBLE;
        if (hasInit && !toolkit::ParseDouble(init, value.d)) {
            error = text + ": '" + init + "' is no double value";
            return false;
        }
    } else if (type == "string") {
        value.type = DATATYPE_STRING;
        value.s = init;
    } else {
        return false;
    }
    error.clear();
    return true;
}

int FindChannel(const std::vector<devdesc::Row>& rows, const std::string& text) {
    if (IsAsciiDigits(text)) {
        errno = 0;
        unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
        if (errno != 0 || n >= rows.size())
            throw CommandLineError("channel " + text + " beyond the table of " + std::to_string(rows.size()) +
                                   " channels");
        return static_cast<int>(n);
    }
    for (size_t c = 0; c < rows.size(); ++c)
        if (rows[c].name == text || strcasecmp(rows[c].name.c_str(), text.c_str()) == 0) return static_cast<int>(c);
    throw CommandLineError("no channel named '" + text + "'");
}

toolkit::Value ParseValue(const std::string& text, const devdesc::Description& device, int channel) {
    toolkit::Value v;
    std::string why;
    if (!toolkit::Admit(toolkit::KindOf(device.rows[static_cast<size_t>(channel)], device.properties),
                        toolkit::Asked::Text(text), v, why))
        throw CommandLineError("channel " + std::to_string(channel) + ", " + why);
    return v;
}

}  // namespace devhost
