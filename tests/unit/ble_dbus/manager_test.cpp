// BluetoothLE against the simulated BlueZ: its start on the bus, the
// mailbox it drains, and its stop in every state.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "bluez/presence.h"
#include "bluez_sim.h"
#include "log_capture.h"
#include "mailbox/mailbox.h"
#include "manager/bluetooth_le.h"
#include "manager/messages.h"

namespace {

using bletest::BluezSim;
using testsupport::LogCapture;
using bletest::WaitUntil;

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void Drain() {
  while (!g_messageQueue.Empty()) {
    auto message = g_messageQueue.Pop();
    DeletePayload(message);
  }
}

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { Drain(); }
  void TearDown() override {
    Drain();
    org::bluez::SetAdapterReady(true);
  }
  LogCapture log;
};

TEST_F(ManagerTest, StopBeforeInitializeDoesNothing) {
  BluetoothLE manager;
  manager.Stop();
  EXPECT_TRUE(log.Records().empty());
}

TEST_F(ManagerTest, CommandsQueuedBeforeStartAreHandledOnceItRuns) {
  BluezSim sim(false);
  ASSERT_TRUE(sim.ok());
  mailbox::Post(mailbox::Message(LE_CTRL_FOLD, new FoldPayload{"0123456789AB", {{"b", 2}, {"a", 1}}}));
  mailbox::Post(mailbox::Message(LE_CTRL_BEACON, new BeaconPayload{"0123456789AB", true}));
  mailbox::Post(mailbox::Message(LE_EVT_IFACE_REMOVE_SENSOR, new std::string("0123456789AB")));

  BluetoothLE manager;
  EXPECT_TRUE(manager.Initialize());
  ASSERT_TRUE(WaitUntil([&] { return Contains(log.Messages("VERB "), "Num of Nodes : 0"); }));
  const auto verbose = log.Messages("VERB ");
  // In posting order; the fold only logs, the beacon finds no node, the
  // removal of an unknown node still asks BlueZ, which refuses.
  std::vector<std::string> handled;
  for (const auto& line : verbose) {
    if (line.rfind("LE_", 0) == 0 || line == "a 1" || line == "b 2" || line == "0123456789AB") handled.push_back(line);
  }
  EXPECT_EQ(handled, (std::vector<std::string>{"LE_CTRL_FOLD", "0123456789AB", "a 1", "b 2", "LE_CTRL_BEACON",
                                               "LE_EVT_IFACE_REMOVE_SENSOR"}));
  // BlueZ's refusal of the removal arrives as a reply, after the pass.
  ASSERT_TRUE(WaitUntil([&] { return !log.Messages("ERROR").empty(); }));
  EXPECT_EQ(log.Messages("ERROR").size(), 1u);
  EXPECT_TRUE(sim.Calls("WriteValue").empty());

  // On the bus: powered, filtered, discovering.
  auto state = sim.State();
  EXPECT_EQ(state["powered"], true);
  EXPECT_EQ(state["discovering"], true);
  manager.Stop();
  EXPECT_EQ(sim.State()["discovering"], false);
  EXPECT_EQ(log.Messages("ERROR").size(), 1u);
}

TEST_F(ManagerTest, FailedStartWithoutBusEndsInAnOrderlyStop) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
  auto manager = std::make_unique<BluetoothLE>();
  EXPECT_THROW(manager->Initialize(), sdbus::Error);
  manager->Stop();  // joins the message thread; nothing else to do
  manager.reset();
  EXPECT_TRUE(log.Messages("ERROR").empty());
}

TEST_F(ManagerTest, FailedStartWithoutBluezStillStops) {
  BluezSim bus(false, false);  // a system bus without org.bluez
  ASSERT_TRUE(bus.ok());
  BluetoothLE manager;
  EXPECT_THROW(manager.Initialize(), sdbus::Error);
  // The stop meets a failing StopDiscovery, logs it and goes on.
  manager.Stop();
  const auto errors = log.Messages("ERROR");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos);
}

}  // namespace

namespace {

// State() once the simulation answers again (after a restart it is away
// for a moment).
nlohmann::json StateWhenBack(BluezSim& sim) {
  nlohmann::json state;
  WaitUntil([&] {
    try {
      state = sim.State();
      return true;
    } catch (const sdbus::Error&) {
      return false;
    }
  });
  return state;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

constexpr const char* kBack = "BlueZ adapter /org/bluez/hci0 set up again";

TEST_F(ManagerTest, EachOutageIsLoggedOnceAndTheAdapterSetUpAgain) {
  BluezSim sim(false);
  ASSERT_TRUE(sim.ok());
  BluetoothLE manager;
  ASSERT_TRUE(manager.Initialize());
  // The adapter's power-on at start is no return from an outage.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(log.Messages("WARN ").empty());
  EXPECT_TRUE(log.Messages("INFO ").empty());

  // Powered off: one warning; the daemon leaves the power to whoever
  // switched it off, and its stop would not touch the adapter.
  sim.PowerAdapter(false);
  ASSERT_TRUE(WaitUntil([&] { return !log.Messages("WARN ").empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(sim.State()["powered"], false);
  EXPECT_EQ(log.Messages("WARN "), (std::vector<std::string>{"BlueZ adapter /org/bluez/hci0 powered off"}));
  EXPECT_TRUE(log.Messages("INFO ").empty());

  // Powered on again: filter and discovery as at start.
  sim.PowerAdapter(true);
  ASSERT_TRUE(WaitUntil([&] { return Count(log.Messages("INFO "), kBack) == 1; }));
  auto state = sim.State();
  EXPECT_EQ(state["discovering"], true);
  EXPECT_EQ(state["filter"], nlohmann::json::parse(R"({"UUIDs":["00000001-5fe1-11ed-9b6a-0242ac120002"]})"));

  // Unplugged and plugged in again (it comes back unpowered).
  sim.RemoveAdapter();
  ASSERT_TRUE(WaitUntil([&] { return log.Messages("WARN ").size() == 2; }));
  EXPECT_EQ(log.Messages("WARN ")[1], "BlueZ adapter /org/bluez/hci0 removed");
  sim.AddAdapter();
  ASSERT_TRUE(WaitUntil([&] { return Count(log.Messages("INFO "), kBack) == 2; }));
  state = sim.State();
  EXPECT_EQ(state["powered"], true);
  EXPECT_EQ(state["discovering"], true);

  // bluetoothd restarts; the fresh one is set up once, however many
  // announcements of its return arrive.
  sim.RestartBluez(200);
  ASSERT_TRUE(WaitUntil([&] { return Count(log.Messages("INFO "), kBack) == 3; }));
  EXPECT_EQ(log.Messages("WARN ")[2], "BlueZ left the bus");
  state = StateWhenBack(sim);
  EXPECT_EQ(state["powered"], true);
  EXPECT_EQ(state["discovering"], true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sim.Calls("StartDiscovery").size(), 1u + 3u);
  EXPECT_EQ(log.Messages("WARN ").size(), 3u);
  EXPECT_EQ(Count(log.Messages("INFO "), kBack), 3u);
  EXPECT_TRUE(log.Messages("ERROR").empty());

  manager.Stop();
  EXPECT_EQ(sim.State()["discovering"], false);
  EXPECT_TRUE(log.Messages("ERROR").empty());
}

TEST_F(ManagerTest, StopDuringAnOutageMakesNoCallsToBluez) {
  BluezSim sim(true);
  ASSERT_TRUE(sim.ok());
  BluetoothLE manager;
  ASSERT_TRUE(manager.Initialize());
  sim.RemoveAdapter();
  ASSERT_TRUE(WaitUntil([&] { return !log.Messages("WARN ").empty(); }));
  manager.Stop();
  EXPECT_TRUE(log.Messages("ERROR").empty());
}

}  // namespace
