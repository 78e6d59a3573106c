// BluetoothLE against the simulated BlueZ: its start on the bus, the
// mailbox it drains, and its stop in every state.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <memory>

#include "bluez_sim.h"
#include "log_capture.h"
#include "mailbox/mailbox.h"
#include "manager/bluetooth_le.h"
#include "manager/messages.h"

namespace {

using bletest::BluezSim;
using bletest::LogCapture;
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
  void TearDown() override { Drain(); }
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
