#include <atomic>

#include "log/log.h"
#include "log/signals.h"
#include "manager/messages.h"

namespace {
std::atomic<bool> g_running{false};
}  // namespace

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/ble.log", logging::Severity::verbose);

  g_running.store(true);
  logging::IdleLoop(g_running, [] {});
  return 0;
}
