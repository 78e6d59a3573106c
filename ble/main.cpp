#include <atomic>
#include <exception>
#include <memory>

#include "events/websocket.h"
#include "log/crash.h"
#include "log/log.h"
#include "loop/main_loop.h"
#include "loop/signals.h"
#include "manager/bluetooth_le.h"
#include "registry/registry.h"
#include "status/status_object.h"

std::unique_ptr<BluetoothLE> g_bluetoothLE;

namespace {
std::atomic<bool> g_running{false};

// The stop of a SIGTERM or SIGINT, run on the main thread by the idle loop
// after it has logged the signal and cleared the running flag.
void StopManager() {
  if (g_bluetoothLE) g_bluetoothLE->Stop();
  LOG_VERB << "";
}
}  // namespace

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/ble.log", logging::Severity::verbose);
  // The trace of a crash of the previous run, dumped by the signal handler.
  logging::LogPreviousCrash();

  LoadNode();
  // Commands from here on wait in the mailbox until the message thread runs.
  AddStatusObject();
  StartWebsocketListener();

  try {
    g_bluetoothLE = std::make_unique<BluetoothLE>();
    g_bluetoothLE->Configure(links::LoadSettings());
    g_bluetoothLE->Initialize();
    g_running.store(true);
    logging::IdleLoop(g_running, StopManager);
  } catch (const std::exception& e) {
    LOG_ERROR << e.what();
    g_running.store(false);
    if (g_bluetoothLE) g_bluetoothLE->Stop();
  }

  StopWebsocketListener();
  return 0;
}
