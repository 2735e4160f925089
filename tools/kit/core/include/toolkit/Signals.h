// How the host tools end a run: SIGINT and SIGTERM ask the polling loop to
// stop (it reads StopRequested()), and SIGPIPE is ignored, so that a reader
// that goes away (devhost run | head) ends the run through a failed write,
// not the program. A tool that can reload its configuration asks for SIGHUP
// too; the polling loop then takes the request (TakeReloadRequest) and
// reloads on its own thread.
#pragma once

#include <atomic>

namespace toolkit {

void InstallStopSignals();
const std::atomic<bool>& StopRequested();
void InstallReloadSignal();
// Whether SIGHUP came since the last call.
bool TakeReloadRequest();

}  // namespace toolkit
