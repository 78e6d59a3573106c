#include "manager/bluetooth_le.h"

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bluez/names.h"
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
  adapter.reset();
  connection.reset();
}

bool BluetoothLE::Initialize() {
  // Set before the thread starts, so that a Stop right after this line
  // always finds a thread to end.
  running.store(true);
  messageThread = std::thread(&BluetoothLE::MessageThread, this);

  connection = sdbus::createSystemBusConnection();
  adapter = std::make_unique<org::bluez::Adapter1>(*connection, org::bluez::kAdapterPath);
  adapter->Powered(true);
  LOG_VERB << "TODO: Discovery Filter에 RSSI를 넣을지 검토하자";
  adapter->SetDiscoveryFilter({{"UUIDs", sdbus::Variant(std::vector<std::string>{kServiceUuid})}});
  interfaceEvent = std::make_unique<InterfaceEvent>(*connection);
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
  try {
    adapter->RemoveDevice(sdbus::ObjectPath(object_path));
  } catch (const sdbus::Error& e) {
    LOG_ERROR << e.what();
  }
}

void BluetoothLE::Stop() {
  running.store(false);
  if (messageThread.joinable() && messageThread.get_id() != std::this_thread::get_id()) messageThread.join();
  if (!connection) return;
  if (adapter) {
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
