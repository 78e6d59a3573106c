#include <atomic>
#include <exception>

#include "config.h"
#include "ipc/ubus.h"
#include "log/crash.h"
#include "log/log.h"
#include "log/signals.h"
#include "log/version.h"
#include "mailbox/mailbox.h"
#include "reporter.h"
#include "sensor_data.h"

namespace {

constexpr int kListenerTimeoutSeconds = 30;
constexpr const char* kReportEvent = "kelvora.report";

ipc::UBUSListener g_listener(kListenerTimeoutSeconds);
queue::ThreadSafeQueue<mailbox::Message> g_mailbox;
Reporter g_reporter;
std::atomic<bool> g_running{false};

void ProcessMessage() { ProcessMessage(g_mailbox, g_reporter); }

}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/report.log", logging::Severity::info);
  if (logging::Enabled(logging::Severity::info)) {
    LOG_INFO << "Report App Start : " << logging::InstalledVersionOrEmpty("kelvora-report-app");
  }
  // The trace of a crash of the previous run, dumped by the signal handler.
  logging::LogPreviousCrash();

  GetSysParams();
  GetAuthParams();
  WarnInsecureSettings(Settings());

  g_listener.RegisterEventHandler(kReportEvent, SensorDataEventHandler);
  g_listener.ServerStart();
  g_reporter.Start();

  g_running.store(true);
  while (g_running.load()) {
    if (const int signal_number = logging::TakeStopSignal()) {
      logging::LogStopSignal(signal_number);
      g_running.store(false);
      break;
    }
    try {
      ProcessMessage();
    } catch (const std::exception& e) {
      LOG_ERROR << (e.what() ? e.what() : "(null)");
      g_running.store(false);
      break;
    }
    logging::Nap10ms();
  }

  g_listener.UnregisterEventHandler(kReportEvent);
  g_listener.ServerStop();
  g_reporter.Stop();
  return 0;
}
