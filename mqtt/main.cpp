#include <atomic>
#include <deque>
#include <exception>
#include <memory>

#include "bridge.h"
#include "ipc/ubus.h"
#include "log/crash.h"
#include "log/log.h"
#include "loop/main_loop.h"
#include "version/version.h"
#include "mailbox/mailbox.h"
#include "mqtt_client.h"
#include "mqtt_settings.h"
#include "publishing.h"

namespace {

constexpr const char* kReportEvent = "kelvora.report";
constexpr const char* kWebsocketEvent = "kelvora.websocket";

std::atomic<bool> g_running{false};
queue::ThreadSafeQueue<mailbox::Message> g_mailbox;
ipc::UBUSListener g_listener(30);
MQTT g_mqtt(nullptr, true);
std::unique_ptr<Publishing> g_publishing;

// One main-loop pass: every waiting message in order, then the rest of the
// publishing work.
loop::Next Pass(std::deque<mailbox::Message>& batch) {
  try {
    for (; !batch.empty(); batch.pop_front()) ProcessMessage(batch.front(), *g_publishing);
    return loop::Next{true, g_publishing->Tick()};
  } catch (const std::exception& e) {
    if (!batch.empty()) batch.pop_front();
    const char* what = e.what();
    LOG_ERROR << (what ? what : "(null)");
    return loop::Next{false};
  }
}

}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

int main() {
  logging::InstallSignalHandlers();
  logging::InitFileLogger("/var/log/mqtt-app.log", logging::Severity::verbose);
  logging::AddColorConsole();
  const std::string version = logging::InstalledVersionOrEmpty("kelvora-mqtt-app");
  LOG_INFO << "MQTT App Start : " << version;
  // The trace of a crash of the previous run, dumped by the signal handler.
  logging::LogPreviousCrash();

  NVRAMInit();
  const MqttSettings& settings = GetMqttSettings();
  const std::string client_id = settings.client_id().empty() ? DefaultClientId() : settings.client_id();
  g_publishing = std::make_unique<Publishing>(g_mqtt, settings, client_id, version);

  g_listener.RegisterEventHandler(kReportEvent, SensorDataEventHandler);
  // Nodes that leave the whitelist take their discovery records along.
  if (settings.ha_discovery()) g_listener.RegisterEventHandler(kWebsocketEvent, WebsocketEventHandler);
  g_listener.AddObject("kelvora.mqtt", {{"status", [] { return g_publishing->Status(); }}});
  g_listener.ServerStart();

  g_mqtt.WakeOnChange(&g_mailbox.Ready());
  g_mqtt.Init();
  if (!settings.enable()) {
    LOG_INFO << "MQTT is disabled.";
  } else if (g_mqtt.Configure(ClientOptionsFrom(settings, client_id))) {
    g_mqtt.Connect(settings.host(), settings.port());
  }

  g_running.store(true);
  loop::MainLoop(g_running, &g_mailbox, Pass, DeleteMessage, [] {});

  if (settings.enable()) g_mqtt.Disconnect();
  g_mqtt.Deinit();
  g_listener.UnregisterEventHandler(kReportEvent);
  if (settings.ha_discovery()) g_listener.UnregisterEventHandler(kWebsocketEvent);
  g_listener.ServerStop();
  DropMessages(g_mailbox);
  return 0;
}
