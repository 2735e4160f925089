// devhost: drives the plug-in on the bench as the host runtime does. It loads
// the plug-in with dlopen, creates one controller through its exports, gives
// it a port (a serial line, a serial device server, or a simulated PLC on a
// pseudo-terminal), the configuration blob and all channels, and then
//
//   devhost run    ... polls with CollectDevData and shows the values
//   devhost write  ... --channel N|NAME --value V   writes one channel
//   devhost ioctl  ... 'READ(D,100,WUB=Level)' --var Level:int   runs one command
//
// Exit status: 0 done, 1 set-up failed (plug-in, port, description),
// 2 wrong command line (also a channel or value the description does not
// allow), 3 the driver reported a failure.
//
// The pieces a host is made of (database, plug-in loader, ports, device
// files) come from the tools kit (tools/kit); this folder holds devhost's own
// jobs, one a file: the command line, the session, the three commands, the
// live table, the CSV and JSON output, the statistics and the code texts.

#include <atomic>
#include <iostream>

#include "CommandLine.h"
#include "Commands.h"
#include "Session.h"
#include "toolkit/CommandCheck.h"
#include "toolkit/Signals.h"

namespace {

int Main(int argc, char** argv) {
    using namespace devhost;
    CLI::App app{"Drives the plug-in as the host runtime does: polling, channel writes, IOCtrl commands"};
    app.require_subcommand(1);
    Options o;
    Commands commands = AddCommands(app, o);
    try {
        app.parse(argc, argv);
        CheckPortChoice(o);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    } catch (const CommandLineError& e) {
        std::cerr << "devhost: " << e.what() << "\n";
        return 2;
    }
    toolkit::InstallStopSignals();

    toolkit::DeviceFile device;
    try {
        device = toolkit::LoadDeviceFile(o.config);
    } catch (const devdesc::Error& e) {
        std::cerr << "devhost: description invalid: " << e.what() << "\n";
        return 1;
    }
    // The channel and value of a write are checked against the description
    // before anything is opened.
    int channel = -1;
    toolkit::Value value;
    if (commands.write->parsed()) {
        try {
            channel = FindChannel(device.description.rows, o.channel);
            value = ParseValue(o.value, device.description, channel);
        } catch (const CommandLineError& e) {
            std::cerr << "devhost: " << e.what() << "\n";
            return 2;
        }
    }
    // A command is checked with its variables before anything is opened.
    if (!commands.run->parsed() && !commands.write->parsed()) {
        toolkit::Variables variables;
        for (const std::string& text : o.vars) {
            std::string name, error;
            toolkit::Value v;
            if (ParseVariable(text, name, v, error)) variables.emplace_back(name, v);
        }
        std::string why;
        if (!toolkit::CheckCommand(o.command, variables, device.description.properties, why)) {
            std::cerr << "devhost: " << why << "\n";
            return 2;
        }
    }
    toolkit::PortOptions port = PortOptionsOf(o, device.Simulator());
    try {
        Session session(std::move(device), port, o.plugin, o.trace);
        if (commands.run->parsed()) return Run(session, o, toolkit::StopRequested());
        if (commands.write->parsed()) return Write(session, channel, value, o.value);
        return IoCtrl(session, o);
    } catch (const SetupError& e) {
        std::cerr << "devhost: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // No input ends the program without a word: anything unforeseen is a
    // set-up failure with its reason.
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "devhost: " << e.what() << "\n";
        return 1;
    }
}
