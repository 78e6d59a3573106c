#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <exception>
#include <string>

#include "config.h"
#include "ipc/ubus.h"
#include "log/crash.h"
#include "log/log.h"
#include "loop/main_loop.h"
#include "version/version.h"
#include "mailbox/mailbox.h"
#include "reporter.h"
#include "sensor_data.h"

namespace {

constexpr int kListenerTimeoutSeconds = 30;
constexpr const char* kReportEvent = "kelvora.report";
constexpr const char* kStatusObject = "kelvora.report";

ipc::UBUSListener g_listener(kListenerTimeoutSeconds);
queue::ThreadSafeQueue<mailbox::Message> g_mailbox;
Reporter g_reporter;
std::atomic<bool> g_running{false};

// Test hooks only: the system tests shorten the product's intervals with
// these; the router never sets them.
std::chrono::milliseconds MillisecondsFromEnvironment(const char* name, std::chrono::milliseconds fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  return (*end == '\0' && value > 0) ? std::chrono::milliseconds(value) : fallback;
}

ReporterTiming Timing() {
  ReporterTiming timing;
  timing.period = MillisecondsFromEnvironment("KELVORA_REPORT_PERIOD_MS", timing.period);
  timing.backoff_cap = MillisecondsFromEnvironment("KELVORA_REPORT_BACKOFF_CAP_MS", timing.backoff_cap);
  timing.spool_interval = MillisecondsFromEnvironment(
      "KELVORA_REPORT_SPOOL_INTERVAL_MS", std::chrono::seconds(SpoolIntervalSeconds(Settings())));
  const auto timeout = MillisecondsFromEnvironment("KELVORA_REPORT_TIMEOUT_MS", std::chrono::seconds(0));
  if (timeout.count() > 0) Settings().transfer_timeout_ms = timeout.count();
  return timing;
}

}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/report.log", logging::Severity::info);
  const std::string version = logging::InstalledVersionOrEmpty("kelvora-report-app");
  if (logging::Enabled(logging::Severity::info)) {
    LOG_INFO << "Report App Start : " << version;
  }
  // The trace of a crash of the previous run, dumped by the signal handler.
  logging::LogPreviousCrash();

  GetSysParams();
  GetAuthParams();
  WarnInsecureSettings(Settings());
  g_reporter.Configure(Timing(), Settings().spool_path, version);
  g_reporter.LoadSpool();

  g_listener.AddObject(kStatusObject, {{"status", [] { return g_reporter.StatusJson(); }}});
  g_listener.RegisterEventHandler(kReportEvent, SensorDataEventHandler);
  g_listener.ServerStart();
  g_reporter.Start();

  g_running.store(true);
  loop::MainLoop(
      g_running, &g_mailbox,
      [](std::deque<mailbox::Message>& batch) {
        try {
          for (; !batch.empty(); batch.pop_front()) ProcessMessage(batch.front(), g_reporter);
        } catch (const std::exception& e) {
          batch.pop_front();
          LOG_ERROR << (e.what() ? e.what() : "(null)");
          return loop::Next{false};
        }
        return loop::Next{};
      },
      DeleteMessage, [] {});

  g_listener.UnregisterEventHandler(kReportEvent);
  g_listener.ServerStop();
  g_reporter.Stop();
  return 0;
}
