// The three commands on an open session. Each returns the exit status: 0
// done, 3 the driver reported a failure.
#pragma once

#include <atomic>

#include "CommandLine.h"
#include "Session.h"

namespace devhost {

// Polls until the cycles are done or stop turns true, then prints the summary.
int Run(Session& s, const Options& o, const std::atomic<bool>& stop);
// Writes the value to the channel (both checked against the description).
int Write(Session& s, int channel, const toolkit::Value& value, const std::string& valueText);
// Declares the --var variables and carries out the command.
int IoCtrl(Session& s, const Options& o);

}  // namespace devhost
