#include "log/signals.h"

#include <signal.h>
#include <time.h>

#include <boost/stacktrace.hpp>
#include <cerrno>
#include <sstream>
#include <string>

#include "log/log.h"

namespace logging {
namespace {

volatile sig_atomic_t g_stop_signal = 0;

void CrashRecords(int signal_number) {
  WriteUnlocked(Severity::error, __PRETTY_FUNCTION__, __LINE__,
                "Signal Catch : " + std::to_string(signal_number));
  WriteUnlocked(Severity::error, __PRETTY_FUNCTION__, __LINE__, "Terminate program..");
  std::ostringstream trace;
  trace << boost::stacktrace::stacktrace();
  WriteUnlocked(Severity::error, __PRETTY_FUNCTION__, __LINE__, trace.str());
}

void SignalHandler(int signal_number) {
  if (signal_number == SIGSEGV || signal_number == SIGABRT) {
    const int saved_errno = errno;
    CrashRecords(signal_number);
    errno = saved_errno;
    // End by the same signal; never return into the fault.
    signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    return;
  }
  if (g_stop_signal == 0) g_stop_signal = signal_number;
}

}  // namespace

void InstallSignalHandlers() {
  signal(SIGTERM, SignalHandler);
  signal(SIGINT, SignalHandler);
  signal(SIGABRT, SignalHandler);
  signal(SIGSEGV, SignalHandler);
}

int TakeStopSignal() {
  const int signal_number = g_stop_signal;
  if (signal_number != 0) g_stop_signal = 0;
  return signal_number;
}

void LogStopSignal(int signal_number) {
  LOG_ERROR << "Signal Catch : " << signal_number;
  LOG_ERROR << "Terminate program..";
}

void Nap10ms() {
  struct timespec nap = {0, 10000000};
  while (nanosleep(&nap, &nap) == -1 && errno == EINTR) {
  }
}

}  // namespace logging
