#include <atomic>
#include <exception>

#include "bridge.h"
#include "ipc/ubus.h"
#include "log/crash.h"
#include "log/log.h"
#include "log/signals.h"
#include "log/version.h"
#include "mailbox/mailbox.h"
#include "mqtt_client.h"
#include "mqtt_settings.h"

namespace {

constexpr const char* kReportEvent = "kelvora.report";

std::atomic<bool> g_running{false};
queue::ThreadSafeQueue<mailbox::Message> g_mailbox;
ipc::UBUSListener g_listener(30);
MQTT g_mqtt(nullptr, true);

// One idle-loop pass; false once the daemon is to stop.
bool Tick() {
  if (const int signal_number = logging::TakeStopSignal()) {
    logging::LogStopSignal(signal_number);
    return false;
  }
  try {
    ProcessMessage(g_mailbox, [](const std::string& topic, const std::string& payload, int qos) {
      return g_mqtt.Publish(topic, payload, qos);
    });
  } catch (const std::exception& e) {
    const char* what = e.what();
    LOG_ERROR << (what ? what : "(null)");
    return false;
  }
  return true;
}

}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/mqtt-app.log", logging::Severity::verbose);
  logging::AddColorConsole();
  LOG_INFO << "MQTT App Start : " << logging::InstalledVersionOrEmpty("kelvora-mqtt-app");
  // The trace of a crash of the previous run, dumped by the signal handler.
  logging::LogPreviousCrash();

  NVRAMInit();
  const MqttSettings& settings = GetMqttSettings();

  g_listener.RegisterEventHandler(kReportEvent, SensorDataEventHandler);
  g_listener.ServerStart();

  g_mqtt.Init();
  if (settings.enable()) {
    g_mqtt.Connect(settings.host(), settings.port());
  } else {
    LOG_INFO << "MQTT is disabled.";
  }

  g_running.store(true);
  while (g_running.load()) {
    if (!Tick()) {
      g_running.store(false);
      break;
    }
    logging::Nap10ms();
  }

  if (settings.enable()) g_mqtt.Disconnect();
  g_mqtt.Deinit();
  g_listener.UnregisterEventHandler(kReportEvent);
  g_listener.ServerStop();
  DropMessages(g_mailbox);
  return 0;
}
