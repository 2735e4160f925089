// How the host tools end a run: SIGINT and SIGTERM ask the polling loop to
// stop (it reads StopRequested()), and SIGPIPE is ignored, so that a reader
// that goes away (devhost run | head) ends the run through a failed write,
// not the program.
#pragma once

#include <atomic>

namespace toolkit {

void InstallStopSignals();
const std::atomic<bool>& StopRequested();

}  // namespace toolkit
