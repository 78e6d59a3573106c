#include "node/node.h"

#include <atomic>
#include <ctime>
#include <exception>
#include <memory>
#include <utility>

#include "bluez/presence.h"
#include "bluez/values.h"
#include "ipc/fnv.h"
#include "log/log.h"
#include "mailbox/mailbox.h"
#include "manager/messages.h"
#include "node/info_frame.h"
#include "sensor/sensor_data.h"
#include "status/link_status.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr auto kConnectTimeout = std::chrono::seconds(15);
constexpr auto kReconnectTimeout = std::chrono::seconds(5);
constexpr auto kTimeSetTimeout = std::chrono::seconds(5);
constexpr int64_t kFirstEpochUpdateMs = 2000;
constexpr int64_t kEpochUpdatePeriodMs = 21600000;  // 6 hours

constexpr uint8_t kInfoFrameCode = 0x84;

std::atomic<bool> g_paced{false};

void PostDeviceId(uint32_t type, const std::string& device_id) {
  auto payload = std::make_unique<std::string>(device_id);
  mailbox::Post(type, std::move(payload));
}

// Reply of a write to the command characteristic: only a failure is logged.
void WriteReply(const sdbus::Error* error) {
  if (error) {
    LOG_ERROR << error->what();
  }
}

}  // namespace

std::vector<uint8_t> InfoRequestFrame() { return {0x04, 0x00, 0x00}; }

std::vector<uint8_t> TimeSetFrame(uint32_t unix_time) {
  return {0x03,
          0x01,
          0x00,
          static_cast<uint8_t>(unix_time),
          static_cast<uint8_t>(unix_time >> 8),
          static_cast<uint8_t>(unix_time >> 16),
          static_cast<uint8_t>(unix_time >> 24)};
}

std::vector<uint8_t> BeaconSetFrame(bool on) { return {0x02, 0x01, 0x00, static_cast<uint8_t>(on ? 1 : 0)}; }

Node::Node(const std::string& device_id) : device_id_(device_id), guard_(std::make_shared<Guard>()) {
  connect_callback_ = [guard = guard_, this](const sdbus::Error* error) {
    Entered(guard, [&] { ConnectCB(error); });
  };
  epoch_handler_ = [guard = guard_, this](bool aborted) {
    if (aborted) {
      EpochUpdateHandler(true);
      return;
    }
    Entered(guard, [&] { EpochUpdateHandler(false); });
  };
}

Node::~Node() {
  Close();
  // No handler runs now and none can start: the proxies can go, then the
  // timer queue (the last member) ends its thread.
  for (auto& characteristic : characteristics_) characteristic.reset();
  device_.reset();
}

template <typename Body>
void Node::Entered(const std::shared_ptr<Guard>& guard, Body body) {
  {
    std::lock_guard<std::mutex> lock(guard->mtx);
    if (guard->closing) return;
    ++guard->active;
  }
  try {
    body();
  } catch (const std::exception& e) {
    // sdbus-c++ would swallow it silently; a property of an unexpected type
    // ends up here.
    LOG_ERROR << e.what();
  }
  std::lock_guard<std::mutex> lock(guard->mtx);
  if (--guard->active == 0) guard->idle.notify_all();
}

void Node::WaitIdle(std::unique_lock<std::mutex>& lock) {
  guard_->idle.wait(lock, [this] { return guard_->active == 0; });
}

void Node::Close() {
  std::unique_lock<std::mutex> lock(guard_->mtx);
  guard_->closing = true;
  WaitIdle(lock);
}

org::bluez::PropertyHandler Node::Guarded(PropMember member, int role, uint32_t generation) {
  return [guard = guard_, this, member, role, generation](const std::string& name, const sdbus::Variant& value) {
    Entered(guard, [&] {
      {
        std::lock_guard<std::mutex> lock(guard->mtx);
        if (generations_[role] != generation) return;  // a replaced proxy
      }
      (this->*member)(name, value);
    });
  };
}

std::string Node::ObjectPath() const {
  std::lock_guard<std::mutex> lock(guard_->mtx);
  return object_path_;
}

std::string Node::Name() const {
  std::lock_guard<std::mutex> lock(guard_->mtx);
  return name_;
}

std::array<uint8_t, 4> Node::Version() const {
  std::lock_guard<std::mutex> lock(guard_->mtx);
  return version_;
}

uint16_t Node::RegisteredMask() const {
  std::lock_guard<std::mutex> lock(guard_->mtx);
  return registered_mask_;
}

// --- connection ------------------------------------------------------------

void Node::SetPaced(bool on) { g_paced.store(on); }

void Node::Connect(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& object_path) {
  Prepare(connection, object_path);
  Attempt(microseconds(kConnectTimeout));
}

void Node::Prepare(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& object_path) {
  uint32_t generation;
  {
    std::lock_guard<std::mutex> lock(guard_->mtx);
    generation = generations_[kRoles] + 1;
  }
  auto device = std::make_unique<Device>(*connection, object_path, Guarded(&Node::DevicePropHandler, kRoles, generation));
  std::unique_ptr<Device> replaced;
  {
    std::unique_lock<std::mutex> lock(guard_->mtx);
    replaced = std::move(device_);
    device_ = std::move(device);
    generations_[kRoles] = generation;
    object_path_ = object_path;
    if (replaced) WaitIdle(lock);
  }
  replaced.reset();
}

void Node::Attempt(microseconds timeout) {
  Device* device;
  {
    std::lock_guard<std::mutex> lock(guard_->mtx);
    device = device_.get();
  }
  if (!device) return;
  try {
    device->Connect(connect_callback_, timeout);
  } catch (const sdbus::Error& e) {
    ConnectCB(&e);
  }
}

void Node::ConnectCB(const sdbus::Error* error) {
  const bool paced = g_paced.load();
  if (!error) {
    if (paced) {
      auto result = std::make_unique<ConnectResultPayload>();
      result->device_id = device_id_;
      result->ok = true;
      mailbox::Post(LE_EVT_CONNECT_RESULT, std::move(result));
    }
    return;
  }
  // BlueZ or its adapter has gone: the manager drops every node itself.
  const bool outage = !org::bluez::AdapterReady();
  if (!outage) {
    LOG_ERROR << error->what();
  }
  if (!paced) {
    if (!outage) PostDeviceId(LE_EVT_IFACE_REMOVE_SENSOR, device_id_);
    return;
  }
  auto result = std::make_unique<ConnectResultPayload>();
  result->device_id = device_id_;
  result->outage = outage;
  result->error_name = error->getName();
  result->error_message = error->getMessage();
  mailbox::Post(LE_EVT_CONNECT_RESULT, std::move(result));
}

void Node::Relink() {
  Device* device;
  {
    std::lock_guard<std::mutex> lock(guard_->mtx);
    device = device_.get();
  }
  if (!device) return;
  try {
    device->Disconnect();
  } catch (const sdbus::Error& e) {
    LOG_ERROR << e.what();
  }
}

void Node::DevicePropHandler(const std::string& property, const sdbus::Variant& value) {
  if (property == "Connected") {
    const bool connected = org::bluez::VariantToBool(value);
    LOG_VERB << property << " " << connected;
    status::SetState(device_id_, connected ? status::LinkState::kConnected : status::LinkState::kConnecting);
    if (connected) return;
    // The link went with BlueZ or its adapter: no retry, the manager drops
    // the node and discovery finds the device again once BlueZ is back.
    if (!org::bluez::AdapterReady()) return;
    LOG_ERROR << "Disconnected from " << device_id_;
    LOG_ERROR << "Retry to connect it.";
    if (g_paced.load()) {
      // The manager's queue makes the one reconnect (5 s), in turn.
      PostDeviceId(LE_EVT_RECONNECT_SENSOR, device_id_);
      return;
    }
    Device* device;
    {
      std::lock_guard<std::mutex> lock(guard_->mtx);
      device = device_.get();
    }
    if (!device) return;
    try {
      device->Connect(connect_callback_, microseconds(kReconnectTimeout));
    } catch (const sdbus::Error& e) {
      ConnectCB(&e);
    }
  } else if (property == "RSSI") {
    const int16_t rssi = org::bluez::VariantToInt16(value);
    LOG_VERB << property << " " << rssi;
    status::Rssi(device_id_, rssi);
  } else if (property == "ServicesResolved") {
    LOG_VERB << property << " " << org::bluez::VariantToBool(value);
  }
}

void Node::Disconnect() {
  Close();
  if (!device_) return;
  try {
    device_->Disconnect();
  } catch (const sdbus::Error& e) {
    LOG_ERROR << e.what();
  }
}

// --- characteristics -------------------------------------------------------

void Node::RegisterCharacteristic(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& uuid,
                                  const std::string& object_path) {
  int role = -1;
  uint16_t bit = 0;
  PropMember handler = nullptr;
  switch (ipc::Fnv1a(uuid)) {
    case kCommandUuidHash: role = kCommand, bit = kCommandBit, handler = &Node::CommandPropHandler; break;
    case kSensorUuidHash: role = kSensor, bit = kSensorBit, handler = &Node::SensorPropHandler; break;
    case kFotaUuidHash: role = kFota, bit = kFotaBit, handler = &Node::FotaPropHandler; break;
    default: break;
  }
  if (role >= 0) {
    uint32_t generation;
    {
      std::lock_guard<std::mutex> lock(guard_->mtx);
      generation = generations_[role] + 1;
    }
    auto proxy = std::make_unique<GattCharacteristic>(*connection, object_path, Guarded(handler, role, generation));
    GattCharacteristic* current = proxy.get();
    std::unique_ptr<GattCharacteristic> replaced;
    {
      std::unique_lock<std::mutex> lock(guard_->mtx);
      replaced = std::move(characteristics_[role]);
      characteristics_[role] = std::move(proxy);
      generations_[role] = generation;
      if (replaced) WaitIdle(lock);
    }
    replaced.reset();
    try {
      current->StartNotify();
    } catch (const sdbus::Error& e) {
      LOG_ERROR << e.what();
    }
    std::lock_guard<std::mutex> lock(guard_->mtx);
    registered_mask_ |= bit;
  }
  if (RegisteredMask() == (kCommandBit | kSensorBit | kFotaBit)) WriteCommand(InfoRequestFrame(), std::nullopt);
}

void Node::WriteCommand(const std::vector<uint8_t>& frame, std::optional<microseconds> timeout) {
  GattCharacteristic* command;
  {
    std::lock_guard<std::mutex> lock(guard_->mtx);
    command = characteristics_[kCommand].get();
  }
  if (!command) {
    LOG_ERROR << "No command characteristic on " << device_id_ << ", frame dropped";
    return;
  }
  try {
    command->WriteValue(frame, WriteReply, timeout);
  } catch (const sdbus::Error& e) {
    LOG_ERROR << e.what();
  }
}

void Node::SensorPropHandler(const std::string& property, const sdbus::Variant& value) {
  LOG_VERB << device_id_ << " : " << property;
  if (property != "Value") return;
  const std::vector<uint8_t> frame = org::bluez::VariantToBytes(value);
  if (frame.size() != kSensorFrameSize) {
    LOG_ERROR << "Wrong Size.. " << frame.size();
    if (frame.size() < kSensorFrameSize) {
      // Still a sign of life.
      status::SensorFrame(device_id_, false);
      status::Count().dropped_short++;
      return;  // nothing to decode
    }
  }
  auto [reading, index] = SensorDataToJson(frame.data());
  status::SensorFrame(device_id_, !reading.is_null());
  if (reading.is_null()) {
    status::Count().dropped_unknown_type++;
    return;
  }
  auto payload = std::make_unique<SensorDataPayload>();
  payload->key = index == 0 ? device_id_ : device_id_ + "_" + std::to_string(index);
  payload->reading = std::move(reading);
  mailbox::Post(LE_EVT_RECV_SENSOR_DATA, std::move(payload));
}

void Node::CommandPropHandler(const std::string& property, const sdbus::Variant& value) {
  LOG_VERB << device_id_ << " : " << property;
  if (property != "Value") return;
  const std::vector<uint8_t> frame = org::bluez::VariantToBytes(value);
  if (frame.empty() || frame[0] != kInfoFrameCode) return;
  if (frame.size() != kInfoFrameSize) {
    LOG_ERROR << "Something Wrong!!! Size missmatch " << frame.size();
    return;
  }
  const NodeIdentity identity = DecodeInfoFrame(frame);
  const std::string version = VersionText(identity.version);
  {
    std::lock_guard<std::mutex> lock(guard_->mtx);
    name_ = identity.name;
    version_ = identity.version;
  }
  ScheduleClock(kFirstEpochUpdateMs);
  status::SetIdentity(device_id_, identity.name, version);
  status::SetState(device_id_, status::LinkState::kIdentified);
  LOG_INFO << "Connected to " << identity.name << "(" << device_id_ << ") v" << version;
}

void Node::FotaPropHandler(const std::string& property, const sdbus::Variant&) {
  LOG_VERB << device_id_ << " : " << property;
}

// --- timers and commands ---------------------------------------------------

void Node::EpochUpdateHandler(bool aborted) {
  if (aborted) return;
  if (!status::Count().clock_trusted.load()) {
    // The node keeps its own clock until the router's is trustworthy.
    std::lock_guard<std::mutex> lock(guard_->mtx);
    clock_pending_ = true;
    return;
  }
  LOG_INFO << "Update UNIX Epoch Time for " << Name() << "(" << device_id_ << ")";
  const auto now = std::time(nullptr);
  WriteCommand(TimeSetFrame(static_cast<uint32_t>(now)), microseconds(kTimeSetTimeout));
  status::ClockSet(device_id_, static_cast<int64_t>(now));
  ScheduleClock(kEpochUpdatePeriodMs);
}

void Node::ScheduleClock(int64_t milliseconds) {
  std::lock_guard<std::mutex> lock(guard_->mtx);
  // An update running now is off the queue and cannot be cancelled; the one
  // it schedules on its way out replaces this one.
  if (epoch_timer_id_ != 0) timers_.cancel(epoch_timer_id_);
  epoch_timer_id_ = timers_.add(milliseconds, epoch_handler_);
}

void Node::ClockTrusted() {
  {
    std::lock_guard<std::mutex> lock(guard_->mtx);
    if (!clock_pending_) return;
    clock_pending_ = false;
  }
  ScheduleClock(0);
}

void Node::BeaconUpdate(const bool& on) { WriteCommand(BeaconSetFrame(on), std::nullopt); }
