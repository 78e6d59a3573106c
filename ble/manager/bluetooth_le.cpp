#include "manager/bluetooth_le.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bluez/names.h"
#include "bluez/presence.h"
#include "bluez/values.h"
#include "ipc/compact.h"
#include "events/report.h"
#include "log/log.h"
#include "loop/signals.h"
#include "manager/messages.h"
#include "node/node.h"
#include "node/node_list.h"
#include "registry/registry.h"
#include "status/link_status.h"

const char* const kNtpSyncedMarker = "/var/state/ntpd-synced";

namespace {

using std::chrono::microseconds;
using Clock = std::chrono::steady_clock;

constexpr auto kFirstConnectTimeout = std::chrono::seconds(15);
constexpr auto kReconnectTimeout = std::chrono::seconds(5);
// A Connect whose reply never came (the bus dropped it) frees the queue
// this long after its own timeout.
constexpr auto kConnectGrace = std::chrono::seconds(5);
// The link supervision looks at most this often, and while the router's
// clock is not trusted yet it looks for the NTP marker this often.
constexpr auto kTickMin = std::chrono::milliseconds(500);
constexpr auto kClockPoll = std::chrono::seconds(1);

// Steady milliseconds of the last thing discovery delivered.
std::atomic<int64_t> g_discoveryActivity{0};

int64_t SteadyMs(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

constexpr const char* kServiceUuid = "00000001-5fe1-11ed-9b6a-0242ac120002";
constexpr auto kSetupRetry = std::chrono::seconds(1);

std::map<std::string, sdbus::Variant> DiscoveryFilter() {
  return {{"UUIDs", sdbus::Variant(std::vector<std::string>{kServiceUuid})}};
}

template <typename Payload>
Payload& PayloadOf(const mailbox::Message& message) {
  return *static_cast<Payload*>(message.data);
}

}  // namespace

void NoteDiscoveryActivity() { g_discoveryActivity.store(SteadyMs(Clock::now())); }

BluetoothLE::~BluetoothLE() {
  // A stop that ran on the message thread itself could not join it.
  if (messageThread.joinable()) {
    running.store(false);
    g_messageQueue.Interrupt();
    if (messageThread.get_id() == std::this_thread::get_id()) {
      messageThread.detach();
    } else {
      messageThread.join();
    }
  }
  interfaceEvent.reset();
  serviceWatch.reset();
  adapter.reset();
  connection.reset();
}

bool BluetoothLE::Initialize() {
  // Set before the thread starts, so that a Stop right after this line
  // always finds a thread to end.
  running.store(true);
  Node::SetPaced(true);
  NoteDiscoveryActivity();
  watchdog = std::make_unique<links::ScanWatchdog>(settings);
  messageThread = std::thread(&BluetoothLE::MessageThread, this);
  org::bluez::SetAdapterReady(true);

  connection = sdbus::createSystemBusConnection();
  adapter = std::make_unique<org::bluez::Adapter1>(
      *connection, org::bluez::kAdapterPath, [](const std::string& name, const sdbus::Variant& value) {
        if (name == "Powered") {
          const bool on = org::bluez::VariantToBool(value);
          status::Count().adapter_powered.store(on);
          if (!on) status::Count().discovering.store(false);
          PostBluezChange(on, BluezPart::kPower);
        } else if (name == "Discovering") {
          status::Count().discovering.store(org::bluez::VariantToBool(value));
        }
      });
  // Property changes of any device (RSSI above all) show that discovery
  // still delivers.
  connection->addMatch(
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "arg0='org.bluez.Device1'",
      [](sdbus::Message&) { NoteDiscoveryActivity(); }, sdbus::floating_slot);
  adapter->Powered(true);
  status::Count().adapter_present.store(true);
  status::Count().adapter_powered.store(true);
  LOG_VERB << "TODO: Discovery Filter에 RSSI를 넣을지 검토하자";
  adapter->SetDiscoveryFilter(DiscoveryFilter());
  interfaceEvent = std::make_unique<InterfaceEvent>(*connection);
  serviceWatch = std::make_unique<BluezServiceWatch>(*connection);
  connection->enterEventLoopAsync();
  eventLoopRunning = true;

  // BlueZ forgets the recorded nodes, so discovery announces them afresh.
  for (const std::string& path : GetKnownNodes()) {
    try {
      adapter->RemoveDevice(sdbus::ObjectPath(path));
    } catch (const sdbus::Error& e) {
      LOG_ERROR << e.what();
    }
  }
  adapter->StartDiscovery();
  status::Count().discovering.store(true);
  lastTick = Clock::now();
  ScheduleTick();
  ready.store(true);
  g_messageQueue.Interrupt();
  return true;
}

void BluetoothLE::Configure(const links::Settings& link_settings) {
  settings = link_settings;
  status::Count().clock_trusted.store(settings.clock_trusted || access(kNtpSyncedMarker, F_OK) == 0);
  if (status::Count().clock_trusted.load()) {
    status::Count().clock_trusted_since.store(static_cast<int64_t>(std::time(nullptr)));
  } else {
    LOG_INFO << "Router clock not synchronised yet: nodes keep their own clocks until " << kNtpSyncedMarker
             << " exists";
  }
}

void BluetoothLE::MessageThread() {
  // What was posted before the manager is set up waits until it is.
  while (running.load() && !ready.load()) g_messageQueue.Wait();
  std::deque<mailbox::Message> batch;
  while (running.load()) {
    g_messageQueue.TakeAll(batch);
    bool links_changed = false;
    for (; !batch.empty() && running.load(); batch.pop_front()) {
      mailbox::Message& message = batch.front();
      links_changed = links_changed || ChangesLinks(message.type);
      try {
        Handle(message);
      } catch (const std::exception& e) {
        // A failing bus call must not end the thread that owns the nodes.
        LOG_ERROR << e.what();
      }
      DeletePayload(message);
    }
    const Clock::time_point now = Clock::now();
    if (setupPending && now >= nextSetup) SetUpAdapter();
    if (now >= nextTick) {
      Tick();
    } else if (links_changed) {
      ScheduleTick();
    }
    FlushMQTTData();
    if (!running.load()) break;
    Clock::time_point wake = std::min(nextTick, MQTTDataDue());
    if (setupPending) wake = std::min(wake, nextSetup);
    g_messageQueue.WaitUntil(wake);
  }
  // Not handled: a stop leaves what still waits.
  for (mailbox::Message& message : batch) DeletePayload(message);
  LOG_VERB << "";
}

bool BluetoothLE::ChangesLinks(uint32_t type) {
  switch (type) {
    case LE_EVT_RECV_SENSOR_DATA:
    case LE_CTRL_BEACON:
    case LE_CTRL_FOLD:
      return false;
    default:
      return true;
  }
}

void BluetoothLE::Handle(mailbox::Message& message) {
  const char* name = MessageName(message.type);
  if (!name || !message.data) return;
  LOG_VERB << name;
  switch (message.type) {
    case LE_EVT_IFACE_ADD_SENSOR: {
      const auto& payload = PayloadOf<AddSensorPayload>(message);
      AddSensor(payload.device_id, payload.object_path);
      if (payload.rssi) status::Rssi(payload.device_id, *payload.rssi);
      break;
    }
    case LE_EVT_IFACE_REMOVE_SENSOR:
      RemoveSensor(PayloadOf<std::string>(message));
      break;
    case LE_EVT_IFACE_ADD_CHARACTERISTIC: {
      const auto& payload = PayloadOf<AddCharacteristicPayload>(message);
      if (Node* node = FindNodeByPath(payload.object_path)) {
        node->RegisterCharacteristic(connection, payload.uuid, payload.object_path);
      }
      break;
    }
    case LE_EVT_RECV_SENSOR_DATA: {
      const auto& payload = PayloadOf<SensorDataPayload>(message);
      LOG_VERB << ipc::Compact(payload.reading);
      const auto k = payload.reading.find("k");
      if (k == payload.reading.end() || !k->is_string()) {
        status::Count().dropped_no_type++;
        LOG_ERROR << "Reading without sensor type dropped";
        break;
      }
      nlohmann::json data = payload.reading;
      data.erase("k");
      SendMQTTData(payload.key, k->get<std::string>(), data);
      break;
    }
    case LE_CTRL_BEACON: {
      const auto& payload = PayloadOf<BeaconPayload>(message);
      if (Node* node = FindNode(payload.device_id)) node->BeaconUpdate(payload.beacon);
      break;
    }
    case LE_CTRL_FOLD: {
      const auto& payload = PayloadOf<FoldPayload>(message);
      LOG_VERB << payload.device_id;
      for (const auto& [key, value] : payload.folds) {
        LOG_VERB << key << " " << value;
      }
      break;
    }
    case LE_EVT_BLUEZ_DOWN:
      BluezDown(PayloadOf<BluezPayload>(message).part);
      break;
    case LE_EVT_BLUEZ_UP:
      BluezUp();
      break;
    case LE_EVT_CONNECT_RESULT:
      ConnectResult(PayloadOf<ConnectResultPayload>(message));
      break;
    case LE_EVT_RECONNECT_SENSOR: {
      const auto& device_id = PayloadOf<std::string>(message);
      if (FindNode(device_id)) {
        status::Reconnect(device_id);
        EnqueueConnect(device_id, kReconnectTimeout);
      }
      break;
    }
    case LE_EVT_CONNECT_RETRY: {
      const auto& device_id = PayloadOf<std::string>(message);
      if (FindNode(device_id)) {
        status::Reconnect(device_id);
        EnqueueConnect(device_id, kFirstConnectTimeout);
      }
      break;
    }
    default:
      break;
  }
}

void BluetoothLE::AddSensor(const std::string& device_id, const std::string& object_path) {
  // One session per device id: a device announced again (BlueZ dropped and
  // found it anew) replaces its old node rather than adding a second one
  // that would report every reading twice.
  if (FindNode(device_id)) {
    LOG_INFO << "Replace Node : " << device_id;
    ForgetConnects(device_id);
    DeleteNode(device_id);
  }
  auto node = std::make_unique<Node>(device_id);
  node->Prepare(connection, object_path);
  AddNode(std::move(node));
  status::NodeCreated(device_id, object_path);
  connectRetries.erase(device_id);
  EnqueueConnect(device_id, kFirstConnectTimeout);
}

void BluetoothLE::RemoveSensor(const std::string& device_id) {
  ForgetConnects(device_id);
  connectRetries.erase(device_id);
  const std::string object_path = DeleteNode(device_id);
  if (!object_path.empty()) status::NodeGone(device_id);
  // A late failure of a node that the outage has dropped: nothing to remove.
  if (outage && object_path.empty()) return;
  try {
    adapter->RemoveDevice(sdbus::ObjectPath(object_path));
  } catch (const sdbus::Error& e) {
    LOG_ERROR << e.what();
  }
}

void BluetoothLE::BluezDown(BluezPart part) {
  org::bluez::SetAdapterReady(false);
  // Nothing to set up until BlueZ says it is back.
  setupPending = false;
  if (!outage) {
    outage = true;
    switch (part) {
      case BluezPart::kService: LOG_WARN << "BlueZ left the bus"; break;
      case BluezPart::kAdapter: LOG_WARN << "BlueZ adapter " << org::bluez::kAdapterPath << " removed"; break;
      case BluezPart::kPower: LOG_WARN << "BlueZ adapter " << org::bluez::kAdapterPath << " powered off"; break;
    }
  }
  if (part != BluezPart::kPower) status::Count().adapter_present.store(false);
  status::Count().discovering.store(false);
  connectQueue.clear();
  connectInFlight.clear();
  connectRetries.clear();
  for (const status::NodeRecord& record : status::Nodes()) {
    if (record.state != status::LinkState::kAbsent) status::NodeGone(record.device_id);
  }
  const std::vector<std::string> paths = DropAllNodes();
  if (part != BluezPart::kPower) return;
  // A powered-off adapter keeps the device objects of the dropped links;
  // removing them lets discovery announce the nodes again once it is on.
  for (const std::string& path : paths) {
    try {
      adapter->RemoveDevice(sdbus::ObjectPath(path));
    } catch (const sdbus::Error& e) {
      LOG_VERB << e.what();
    }
  }
}

void BluetoothLE::BluezUp() {
  if (outage) SetUpAdapter();
}

void BluetoothLE::SetUpAdapter() {
  setupPending = false;
  try {
    adapter->Powered(true);
    adapter->SetDiscoveryFilter(DiscoveryFilter());
    try {
      adapter->StartDiscovery();
    } catch (const sdbus::Error& e) {
      if (e.getName() != "org.bluez.Error.InProgress") throw;
    }
  } catch (const sdbus::Error&) {
    // BlueZ is back without its adapter yet, or the adapter is still
    // off: the next announcement or the retry sets it up.
    setupPending = true;
    nextSetup = std::chrono::steady_clock::now() + kSetupRetry;
    return;
  }
  outage = false;
  org::bluez::SetAdapterReady(true);
  status::Count().adapter_present.store(true);
  status::Count().adapter_powered.store(true);
  status::Count().discovering.store(true);
  LOG_INFO << "BlueZ adapter " << org::bluez::kAdapterPath << " set up again";
}

void BluetoothLE::Stop() {
  timers.cancelAll();
  running.store(false);
  g_messageQueue.Interrupt();
  if (messageThread.joinable() && messageThread.get_id() != std::this_thread::get_id()) messageThread.join();
  if (!connection) return;
  // Without BlueZ or its adapter there is no discovery to stop.
  if (adapter && !outage) {
    try {
      adapter->StopDiscovery();
    } catch (const sdbus::Error& e) {
      LOG_ERROR << e.what();
    }
  }
  DeleteAllNodes();
  Node::SetPaced(false);
  if (eventLoopRunning) {
    try {
      connection->leaveEventLoop();
    } catch (const sdbus::Error& e) {
      LOG_ERROR << e.what();
    }
    eventLoopRunning = false;
  }
}

// --- link supervision ------------------------------------------------------

void BluetoothLE::EnqueueConnect(const std::string& device_id, microseconds timeout) {
  if (connectInFlight == device_id) return;
  for (const QueuedConnect& queued : connectQueue) {
    if (queued.device_id == device_id) return;
  }
  connectQueue.push_back({device_id, timeout});
  PumpConnects();
}

void BluetoothLE::PumpConnects() {
  while (connectInFlight.empty() && !connectQueue.empty()) {
    const QueuedConnect next = connectQueue.front();
    connectQueue.pop_front();
    Node* node = FindNode(next.device_id);
    if (!node) continue;
    connectInFlight = next.device_id;
    connectDeadline = Clock::now() + next.timeout + kConnectGrace;
    status::SetState(next.device_id, status::LinkState::kConnecting);
    node->Attempt(next.timeout);
  }
}

void BluetoothLE::ForgetConnects(const std::string& device_id) {
  for (auto it = connectQueue.begin(); it != connectQueue.end();) {
    it = it->device_id == device_id ? connectQueue.erase(it) : it + 1;
  }
  if (connectInFlight == device_id) {
    connectInFlight.clear();
    PumpConnects();
  }
}

void BluetoothLE::ConnectResult(const ConnectResultPayload& result) {
  if (connectInFlight == result.device_id) connectInFlight.clear();
  if (result.ok) {
    connectRetries.erase(result.device_id);
  } else if (!result.outage && FindNode(result.device_id)) {
    const links::ConnectFailure failure = links::ClassifyConnectError(result.error_name, result.error_message);
    if (failure == links::ConnectFailure::kTimeout) status::Count().connect_timeouts++;
    unsigned& retries = connectRetries[result.device_id];
    if (links::Retryable(failure) && retries < links::kConnectRetries) {
      ++retries;
      const auto pause = links::Backoff(retries, random);
      LOG_WARN << "Connect to " << result.device_id << " " << links::ConnectFailureName(failure) << ", retry "
               << retries << " of " << links::kConnectRetries << " in " << pause.count() << " ms";
      status::ConnectRetry(result.device_id);
      timers.add(pause.count(), [device_id = result.device_id](bool aborted) {
        if (!aborted) mailbox::Post(LE_EVT_CONNECT_RETRY, std::make_unique<std::string>(device_id));
      });
    } else {
      // Given up: discovery finds the device afresh and a new node tries.
      RemoveSensor(result.device_id);
    }
  }
  PumpConnects();
}

void BluetoothLE::ScheduleTick() {
  const Clock::time_point now = Clock::now();
  Clock::time_point due = Clock::time_point::max();
  // An answer the bus lost must not hold the queue for ever.
  if (!connectInFlight.empty()) due = std::min(due, connectDeadline);
  if (!status::Count().clock_trusted.load()) due = std::min(due, now + kClockPoll);
  if (!outage) {
    if (settings.node_timeout.count() != 0) {
      for (const status::NodeRecord& record : status::Nodes()) {
        if (record.state != status::LinkState::kConnected && record.state != status::LinkState::kIdentified) continue;
        due = std::min(due, record.quiet_since + settings.node_timeout);
      }
    }
    // After recovery steps, the end of the quiet spell is looked for (and
    // logged) at the old pace.
    if (watchdog->Recovering()) due = std::min(due, now);
    for (const std::string& device_id : GetWhitelist()) {
      if (!FindNode(device_id)) {
        due = std::min(due, watchdog->NextCheck());
        break;
      }
    }
  }
  // Never more often than the old fixed tick, whatever is due.
  nextTick = std::max(due, lastTick + kTickMin);
}

void BluetoothLE::Tick() {
  lastTick = Clock::now();
  // An answer the bus lost must not hold the queue for ever.
  if (!connectInFlight.empty() && Clock::now() >= connectDeadline) {
    connectInFlight.clear();
    PumpConnects();
  }
  CheckClock();
  if (!outage) {
    CheckSilentNodes();
    CheckScanner();
  }
  ScheduleTick();
}

void BluetoothLE::CheckClock() {
  status::Counters& count = status::Count();
  if (count.clock_trusted.load() || access(kNtpSyncedMarker, F_OK) != 0) return;
  count.clock_trusted.store(true);
  count.clock_trusted_since.store(static_cast<int64_t>(std::time(nullptr)));
  LOG_INFO << "Router clock synchronised: setting the clocks of the connected nodes";
  for (const status::NodeRecord& record : status::Nodes()) {
    if (Node* node = FindNode(record.device_id)) node->ClockTrusted();
  }
}

void BluetoothLE::CheckSilentNodes() {
  if (settings.node_timeout.count() == 0) return;
  const auto now = Clock::now();
  for (const status::NodeRecord& record : status::Nodes()) {
    if (record.state != status::LinkState::kConnected && record.state != status::LinkState::kIdentified) continue;
    const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - record.quiet_since);
    if (silent < settings.node_timeout) continue;
    Node* node = FindNode(record.device_id);
    if (!node) continue;
    if (record.silent_step == 0) {
      LOG_WARN << "Node " << record.device_id << " silent for " << silent.count() << " s, reconnecting it";
      status::SilentStep(record.device_id, 1);
      node->Relink();
    } else {
      LOG_WARN << "Node " << record.device_id << " still silent " << silent.count()
               << " s after reconnecting, removing it from BlueZ";
      status::SilentStep(record.device_id, 2);
      RemoveSensor(record.device_id);
    }
  }
}

void BluetoothLE::CheckScanner() {
  const auto now = Clock::now();
  const Clock::time_point activity{std::chrono::milliseconds(g_discoveryActivity.load())};
  const bool recovering = watchdog->Recovering();
  if (activity > watchdog->LastActivity()) {
    watchdog->Activity(activity);
    if (recovering) {
      LOG_INFO << "Discovery delivers again";
    }
    capLogged = false;
  }
  bool missing = false;
  for (const std::string& device_id : GetWhitelist()) {
    if (!FindNode(device_id)) {
      missing = true;
      break;
    }
  }
  bool links_up = false;
  for (const status::NodeRecord& record : status::Nodes()) {
    if (record.state == status::LinkState::kConnected || record.state == status::LinkState::kIdentified) {
      links_up = true;
    }
  }
  const auto quiet = watchdog->QuietFor(now);
  switch (watchdog->Check(now, missing, links_up)) {
    case links::ScanWatchdog::Step::kNone:
      if (watchdog->CapReached() && !capLogged) {
        capLogged = true;
        LOG_WARN << "Discovery recovery paused: " << settings.scan_steps << " steps in " << settings.scan_hour.count()
                 << " s";
      }
      break;
    case links::ScanWatchdog::Step::kRestartDiscovery:
      if (watchdog->FirstOfItsKind()) {
        LOG_WARN << "Discovery quiet for " << quiet.count() << " s while a node is missing, restarting it";
      }
      status::Count().discovery_restarts++;
      try {
        adapter->StopDiscovery();
      } catch (const sdbus::Error& e) {
        LOG_VERB << e.what();
      }
      try {
        adapter->StartDiscovery();
      } catch (const sdbus::Error& e) {
        LOG_ERROR << e.what();
      }
      break;
    case links::ScanWatchdog::Step::kPowerCycle:
      if (watchdog->FirstOfItsKind()) {
        LOG_WARN << "Discovery still quiet after a restart, power cycling the adapter";
      }
      status::Count().power_cycles++;
      // The outage handling sees the power go and sets the adapter up again.
      try {
        adapter->Powered(false);
        adapter->Powered(true);
      } catch (const sdbus::Error& e) {
        LOG_ERROR << e.what();
      }
      break;
  }
}
