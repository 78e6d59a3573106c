#include <atomic>

#include "log/log.h"
#include "log/signals.h"
#include "log/version.h"
#include "mailbox/mailbox.h"

namespace {
std::atomic<bool> g_running{false};
queue::ThreadSafeQueue<mailbox::Message> g_mailbox;
}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/mqtt-app.log", logging::Severity::verbose);
  logging::AddColorConsole();
  LOG_INFO << "MQTT App Start : " << logging::InstalledVersionOrEmpty("kelvora-mqtt-app");

  g_running.store(true);
  logging::IdleLoop(g_running, [] {});
  return 0;
}
