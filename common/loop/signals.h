#pragma once

#include <atomic>

#include "loop/wakeup.h"

namespace logging {

// Installs the process signal handler for SIGTERM, SIGINT, SIGABRT and
// SIGSEGV, in that order.
//
// SIGTERM and SIGINT only note the signal (async-signal-safe); the main
// thread takes it with TakeStopSignal() in its idle loop and runs the
// daemon's stop there. SIGSEGV and SIGABRT write "Signal Catch : N" and
// "Terminate program.." and dump the faulting thread's frames with
// async-signal-safe code (see log/crash.h; the trace is rendered into the log
// at the next start), then restore the default action and raise the signal
// again, so the process ends by it.
void InstallSignalHandlers();
void SignalHandler(int signal_number);

// The stop signal noted since the last call, or 0.
int TakeStopSignal();

// The wake-up that a stop signal gives, so that the main thread's wait ends
// at once (null: none). The main thread sets it before it first waits.
void WakeOnStopSignal(loop::Wakeup* wakeup);

// Writes "Signal Catch : N" and "Terminate program.." (main thread).
void LogStopSignal(int signal_number);

}  // namespace logging
