#include "manager/bluetooth_le.h"

#include <chrono>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bluez/names.h"
#include "bluez/presence.h"
#include "bluez/values.h"
#include "events/compact.h"
#include "events/report.h"
#include "log/log.h"
#include "log/signals.h"
#include "manager/messages.h"
#include "node/node.h"
#include "node/node_list.h"
#include "registry/registry.h"

namespace {

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

BluetoothLE::~BluetoothLE() {
  // A stop that ran on the message thread itself could not join it.
  if (messageThread.joinable()) {
    running.store(false);
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
  messageThread = std::thread(&BluetoothLE::MessageThread, this);
  org::bluez::SetAdapterReady(true);

  connection = sdbus::createSystemBusConnection();
  adapter = std::make_unique<org::bluez::Adapter1>(
      *connection, org::bluez::kAdapterPath, [](const std::string& name, const sdbus::Variant& value) {
        if (name == "Powered") PostBluezChange(org::bluez::VariantToBool(value), BluezPart::kPower);
      });
  adapter->Powered(true);
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
  return true;
}

void BluetoothLE::MessageThread() {
  while (running.load()) {
    if (!g_messageQueue.Empty()) {
      mailbox::Message message = g_messageQueue.Pop();
      try {
        Handle(message);
      } catch (const std::exception& e) {
        // A failing bus call must not end the thread that owns the nodes.
        LOG_ERROR << e.what();
      }
      DeletePayload(message);
    }
    if (setupPending && std::chrono::steady_clock::now() >= nextSetup) SetUpAdapter();
    FlushMQTTData();
    logging::Nap10ms();
  }
  LOG_VERB << "";
}

void BluetoothLE::Handle(mailbox::Message& message) {
  const char* name = MessageName(message.type);
  if (!name || !message.data) return;
  LOG_VERB << name;
  switch (message.type) {
    case LE_EVT_IFACE_ADD_SENSOR: {
      const auto& payload = PayloadOf<AddSensorPayload>(message);
      AddSensor(payload.device_id, payload.object_path);
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
      LOG_VERB << events::Compact(payload.reading);
      const auto k = payload.reading.find("k");
      if (k == payload.reading.end() || !k->is_string()) {
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
    DeleteNode(device_id);
  }
  auto node = std::make_unique<Node>(device_id);
  node->Connect(connection, object_path);
  AddNode(std::move(node));
}

void BluetoothLE::RemoveSensor(const std::string& device_id) {
  const std::string object_path = DeleteNode(device_id);
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
  LOG_INFO << "BlueZ adapter " << org::bluez::kAdapterPath << " set up again";
}

void BluetoothLE::Stop() {
  running.store(false);
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
  if (eventLoopRunning) {
    try {
      connection->leaveEventLoop();
    } catch (const sdbus::Error& e) {
      LOG_ERROR << e.what();
    }
    eventLoopRunning = false;
  }
}
