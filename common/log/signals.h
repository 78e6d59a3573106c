#pragma once

#include <atomic>

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

// Writes "Signal Catch : N" and "Terminate program.." (main thread).
void LogStopSignal(int signal_number);

// Sleeps 10 ms with nanosleep, resuming with the remainder after EINTR.
void Nap10ms();

// The idle loop of every daemon: naps while `running` holds; a stop signal
// is logged, clears `running` and runs `on_stop` on this thread.
template <typename OnStop>
void IdleLoop(std::atomic<bool>& running, OnStop on_stop) {
  while (running.load()) {
    if (const int signal_number = TakeStopSignal()) {
      LogStopSignal(signal_number);
      running.store(false);
      on_stop();
      break;
    }
    Nap10ms();
  }
}

}  // namespace logging
