#include "loop/signals.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "log/crash.h"
#include "log/log.h"

namespace logging {
namespace {

// Written by the handler on whichever thread took the signal, read by the
// main thread: a lock-free atomic, safe in signal context.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be usable in a signal handler");
std::atomic<int> g_crashing{0};
std::atomic<loop::Wakeup*> g_stop_wakeup{nullptr};

void Nap(long nanoseconds) {
  struct timespec nap = {0, nanoseconds};
  while (nanosleep(&nap, &nap) == -1 && errno == EINTR) {
  }
}

}  // namespace

// Runs in signal context on any thread: async-signal-safe calls only.
void SignalHandler(int signal_number) {
  if (signal_number == SIGSEGV || signal_number == SIGABRT) {
    const int saved_errno = errno;
    if (g_crashing.exchange(1) == 0) {
      WriteCrashRecords(signal_number);
    } else {
      // Another thread is writing its crash; it ends the process shortly.
      for (int i = 0; i < 100; ++i) Nap(10000000);
    }
    errno = saved_errno;
    // End by the same signal with its default action (procd respawns the
    // daemon); never return into the fault.
    signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    // Still here: the first process of a PID namespace (a procd jail) never
    // gets a default-action signal it sends itself. End as a shell reports
    // a death by that signal.
    _exit(128 + signal_number);
  }
  int none = 0;
  g_stop_signal.compare_exchange_strong(none, signal_number);
  if (loop::Wakeup* wakeup = g_stop_wakeup.load()) wakeup->Give();
}

void InstallSignalHandlers() {
  signal(SIGTERM, SignalHandler);
  signal(SIGINT, SignalHandler);
  signal(SIGABRT, SignalHandler);
  signal(SIGSEGV, SignalHandler);
}

int TakeStopSignal() {
  return g_stop_signal.exchange(0);
}

void WakeOnStopSignal(loop::Wakeup* wakeup) {
  g_stop_wakeup.store(wakeup);
  // A signal that came before the registration still ends the next wait.
  if (wakeup && g_stop_signal.load() != 0) wakeup->Give();
}

void LogStopSignal(int signal_number) {
  LOG_ERROR << "Signal Catch : " << signal_number;
  LOG_ERROR << "Terminate program..";
}

}  // namespace logging
