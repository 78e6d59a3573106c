#include <atomic>

#include "events/websocket.h"
#include "log/log.h"
#include "log/signals.h"
#include "manager/messages.h"
#include "registry/registry.h"

namespace {
std::atomic<bool> g_running{false};
}  // namespace

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/ble.log", logging::Severity::verbose);

  LoadNode();
  StartWebsocketListener();

  g_running.store(true);
  logging::IdleLoop(g_running, [] {});

  StopWebsocketListener();
  return 0;
}
