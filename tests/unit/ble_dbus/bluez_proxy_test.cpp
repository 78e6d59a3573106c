// The BlueZ proxies against the simulated BlueZ: what goes on the bus and
// what comes back to the handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "bluez/adapter1.h"
#include "bluez/device.h"
#include "bluez/gatt_characteristic.h"
#include "bluez/values.h"
#include "bluez_sim.h"

namespace {

using bletest::BluezSim;
using bletest::WaitUntil;

constexpr const char* kName = "Sensor-0123456789AB";
constexpr const char* kMac = "C0:FF:EE:00:00:01";

// Property changes as the handler saw them, in order.
struct Seen {
  std::mutex mtx;
  std::vector<std::pair<std::string, sdbus::Variant>> changes;

  org::bluez::PropertyHandler Handler() {
    return [this](const std::string& name, const sdbus::Variant& value) {
      std::lock_guard<std::mutex> lock(mtx);
      changes.emplace_back(name, value);
    };
  }
  std::vector<std::string> Names() {
    std::lock_guard<std::mutex> lock(mtx);
    std::vector<std::string> names;
    for (const auto& change : changes) names.push_back(change.first);
    return names;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mtx);
    return changes.size();
  }
  std::vector<std::pair<std::string, sdbus::Variant>> Snapshot() {
    std::lock_guard<std::mutex> lock(mtx);
    return changes;
  }
};

// The outcome of one asynchronous call.
struct Reply {
  std::mutex mtx;
  bool done = false;
  std::optional<std::string> error;  // the D-Bus error name

  org::bluez::ReplyHandler Handler() {
    return [this](const sdbus::Error* e) {
      std::lock_guard<std::mutex> lock(mtx);
      done = true;
      if (e) error = e->getName();
    };
  }
  bool Done() {
    std::lock_guard<std::mutex> lock(mtx);
    return done;
  }
};

class BluezProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.ok()) << "simulated BlueZ did not start: " << sim.failure();
    connection = sdbus::createSystemBusConnection();
    connection->enterEventLoopAsync();
  }
  void TearDown() override {
    if (connection) connection->leaveEventLoop();
  }

  BluezSim sim{false};
  std::unique_ptr<sdbus::IConnection> connection;
};

TEST_F(BluezProxyTest, AdapterCallsReachBluezWithTheirArguments) {
  org::bluez::Adapter1 adapter(*connection, "/org/bluez/hci0");
  adapter.Powered(true);
  adapter.SetDiscoveryFilter(
      {{"UUIDs", sdbus::Variant(std::vector<std::string>{"00000001-5fe1-11ed-9b6a-0242ac120002"})}});
  adapter.StartDiscovery();

  auto state = sim.State();
  EXPECT_EQ(state["powered"], true);
  EXPECT_EQ(state["discovering"], true);
  EXPECT_EQ(state["filter"], nlohmann::json::parse(R"({"UUIDs":["00000001-5fe1-11ed-9b6a-0242ac120002"]})"));
  auto set = sim.Calls("Set");
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0]["args"], nlohmann::json::parse(R"(["org.bluez.Adapter1","Powered",true])"));

  // A device BlueZ knows goes; one it does not know is an error reply.
  const std::string path = sim.AddNode(kName, kMac);
  ASSERT_TRUE(WaitUntil([&] { return !sim.State()["devices"].empty(); }));
  adapter.RemoveDevice(sdbus::ObjectPath(path));
  EXPECT_TRUE(sim.State()["devices"].empty());
  try {
    adapter.RemoveDevice(sdbus::ObjectPath(path));
    ADD_FAILURE() << "RemoveDevice of an unknown device succeeded";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), "org.bluez.Error.DoesNotExist");
  }

  adapter.StopDiscovery();
  EXPECT_EQ(sim.State()["discovering"], false);
  EXPECT_THROW(adapter.StopDiscovery(), sdbus::Error);
}

TEST_F(BluezProxyTest, DiscoveryNeedsPoweredAdapter) {
  org::bluez::Adapter1 adapter(*connection, "/org/bluez/hci0");
  EXPECT_THROW(adapter.StartDiscovery(), sdbus::Error);
}

TEST_F(BluezProxyTest, DeviceConnectReportsSuccessAndPropertyChanges) {
  const std::string path = sim.AddNode(kName, kMac, {{"known", sdbus::Variant(true)}});
  Seen seen;
  Device device(*connection, path, seen.Handler());
  Reply reply;
  device.Connect(reply.Handler(), std::chrono::seconds(15));
  ASSERT_TRUE(WaitUntil([&] { return reply.Done(); }));
  EXPECT_FALSE(reply.error.has_value());
  // Connected comes before ServicesResolved, both before the reply.
  ASSERT_TRUE(WaitUntil([&] { return seen.Count() >= 2; }));
  EXPECT_EQ(seen.Names(), (std::vector<std::string>{"Connected", "ServicesResolved"}));
  EXPECT_TRUE(org::bluez::VariantToBool(seen.Snapshot()[0].second));

  // One signal with several properties: handled in ascending name order.
  sim.EmitDeviceProperties(path, {{"ServicesResolved", sdbus::Variant(true)},
                                  {"RSSI", sdbus::Variant(int16_t{-42})},
                                  {"Connected", sdbus::Variant(true)}});
  ASSERT_TRUE(WaitUntil([&] { return seen.Count() >= 5; }));
  auto names = seen.Names();
  EXPECT_EQ(std::vector<std::string>(names.begin() + 2, names.end()),
            (std::vector<std::string>{"Connected", "RSSI", "ServicesResolved"}));
  const auto changes = seen.Snapshot();
  EXPECT_EQ(org::bluez::VariantToInt16(changes[3].second), -42);
  // A value of another type than asked for throws.
  EXPECT_THROW(org::bluez::VariantToInt16(changes[2].second), sdbus::Error);

  device.Disconnect();
  EXPECT_EQ(sim.NodeState(path)["connected"], false);
  EXPECT_THROW(device.Disconnect(), sdbus::Error);  // not connected any more
}

TEST_F(BluezProxyTest, DeviceConnectReportsFailureAndNoReply) {
  const std::string path = sim.AddNode(kName, kMac, {{"known", sdbus::Variant(true)},
                                                     {"connect", sdbus::Variant(std::string("fail"))}});
  Device device(*connection, path, nullptr);
  Reply failed;
  device.Connect(failed.Handler(), std::chrono::seconds(15));
  ASSERT_TRUE(WaitUntil([&] { return failed.Done(); }));
  EXPECT_EQ(failed.error, "org.bluez.Error.Failed");

  sim.SetConnectMode(path, "noreply");
  Reply unanswered;
  device.Connect(unanswered.Handler(), std::chrono::milliseconds(300));
  ASSERT_TRUE(WaitUntil([&] { return unanswered.Done(); }));
  EXPECT_EQ(unanswered.error, "org.freedesktop.DBus.Error.NoReply");
}

TEST_F(BluezProxyTest, CharacteristicNotifiesAndRecordsWrites) {
  const std::string path = sim.AddNode(kName, kMac, {{"known", sdbus::Variant(true)}});
  {
    Device device(*connection, path, nullptr);
    Reply reply;
    device.Connect(reply.Handler(), std::chrono::seconds(15));
    ASSERT_TRUE(WaitUntil([&] { return reply.Done(); }));
  }
  const std::string sensor_path = sim.NodeState(path)["chars"]["sensor"];
  Seen seen;
  GattCharacteristic sensor(*connection, sensor_path, seen.Handler());
  EXPECT_FALSE(sim.Notify(path, "sensor", {1, 2, 3}));  // nobody subscribed yet
  sensor.StartNotify();
  ASSERT_TRUE(sim.Notify(path, "sensor", {0x0B, 0, 2, 0x80, 0x65, 0x71, 0x5F, 0, 0, 0xC8, 0x41}));
  auto value_seen = [&] {
    const auto names = seen.Names();
    return std::find(names.begin(), names.end(), "Value") != names.end();
  };
  ASSERT_TRUE(WaitUntil(value_seen));
  for (const auto& [name, value] : seen.Snapshot()) {
    if (name == "Value") {
      EXPECT_EQ(org::bluez::VariantToBytes(value),
                (std::vector<uint8_t>{0x0B, 0, 2, 0x80, 0x65, 0x71, 0x5F, 0, 0, 0xC8, 0x41}));
    }
  }

  const std::string command_path = sim.NodeState(path)["chars"]["command"];
  GattCharacteristic command(*connection, command_path, nullptr);
  Reply written;
  command.WriteValue({0x02, 0x01, 0x00, 0x01}, written.Handler());
  ASSERT_TRUE(WaitUntil([&] { return written.Done(); }));
  EXPECT_FALSE(written.error.has_value());
  auto writes = sim.Calls("WriteValue", path, "command");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0]["args"], nlohmann::json::parse("[[2,1,0,1],{}]"));

  // A failing write reaches the handler as an error.
  sim.FailMethod(path, "WriteValue", "org.bluez.Error.NotPermitted");
  Reply refused;
  command.WriteValue({0x04, 0x00, 0x00}, refused.Handler(), std::chrono::seconds(5));
  ASSERT_TRUE(WaitUntil([&] { return refused.Done(); }));
  EXPECT_EQ(refused.error, "org.bluez.Error.NotPermitted");
}

}  // namespace
