#include <atomic>

#include "log/log.h"
#include "log/signals.h"
#include "mailbox/mailbox.h"

namespace {
std::atomic<bool> g_running{false};
}  // namespace

queue::ThreadSafeQueue<mailbox::Message> g_messageQueue;

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_messageQueue; }

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/ble.log", logging::Severity::verbose);

  g_running.store(true);
  logging::IdleLoop(g_running, [] {});
  return 0;
}
