#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "bus_helpers.h"
#include "events/report.h"
#include "events/websocket.h"
#include "log_capture.h"
#include "manager/messages.h"
#include "sensor/sensor_data.h"

namespace {

using nlohmann::json;
using bletest::EventWatcher;
using namespace std::chrono_literals;

std::vector<mailbox::Message> Drain() {
  std::vector<mailbox::Message> messages;
  while (!g_messageQueue.Empty()) messages.push_back(g_messageQueue.Pop());
  return messages;
}

TEST(ReportEvent, ReadingsGoOutAsReportEvents) {
  testsupport::LogCapture log;
  EventWatcher watcher("kelvora.report");
  ASSERT_TRUE(watcher.Ready());

  SendMQTTData("0123456789AB", "PM_2_5", json{{"ts", 1700000000}, {"v", 12}});

  // The path of a frame: decoded, keyed by device id and index, "k" taken out.
  const uint8_t frame[kSensorFrameSize] = {0x0B, 0x02, 0x02, 0x80, 0x65, 0x71,
                                           0x5F, 0x00, 0x00, 0xC8, 0x41};
  auto [reading, index] = SensorDataToJson(frame);
  const std::string type = reading.at("k");
  reading.erase("k");
  SendMQTTData("0123456789AB_" + std::to_string(index), type, reading);

  // A frame of kind 3 carries no value.
  SendMQTTData("0123456789AC", "RH", json{{"ts", 1700000001u}});

  ASSERT_TRUE(watcher.WaitForLines(3));
  EXPECT_EQ(watcher.Lines(), (std::vector<std::string>{
      R"({ "kelvora.report": {"data":{"ts":1700000000,"v":12},"device_id":"0123456789AB","sensor_type":"PM_2_5"} })",
      R"({ "kelvora.report": {"data":{"ts":1601267072,"v":25.000000},"device_id":"0123456789AB_2","sensor_type":"PM_1_0"} })",
      R"({ "kelvora.report": {"data":{"ts":1700000001},"device_id":"0123456789AC","sensor_type":"RH"} })",
  }));
  EXPECT_EQ(log.Messages("VERB "), (std::vector<std::string>{
      R"({"data":{"ts":1700000000,"v":12},"device_id":"0123456789AB","sensor_type":"PM_2_5"})",
      R"({"data":{"ts":1601267072,"v":25.0},"device_id":"0123456789AB_2","sensor_type":"PM_1_0"})",
      R"({"data":{"ts":1700000001},"device_id":"0123456789AC","sensor_type":"RH"})",
  }));
  EXPECT_TRUE(log.Messages("ERROR").empty());
}

TEST(ReportEvent, NanValueGoesOutAsNull) {
  EventWatcher watcher("kelvora.report");
  ASSERT_TRUE(watcher.Ready());
  const uint8_t frame[kSensorFrameSize] = {0x03, 0x00, 0x02, 0x01, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0xC0, 0x7F};
  auto [reading, index] = SensorDataToJson(frame);
  reading.erase("k");
  SendMQTTData("0123456789AB", "RH", reading);
  ASSERT_TRUE(watcher.WaitForLines(1));
  EXPECT_EQ(watcher.Lines().at(0),
            R"({ "kelvora.report": {"data":{"ts":1,"v":null},"device_id":"0123456789AB","sensor_type":"RH"} })");
}

TEST(Announcements, SubscribeAndUnsubscribeOnTheWebsocketEvent) {
  testsupport::LogCapture log;
  EventWatcher watcher("kelvora.websocket");
  ASSERT_TRUE(watcher.Ready());

  SendSubscribe("0123456789AB");
  SendUnsubscribe("0123456789AB");
  ASSERT_TRUE(watcher.WaitForLines(2));
  EXPECT_EQ(watcher.Lines(), (std::vector<std::string>{
      R"({ "kelvora.websocket": {"device_id":"0123456789AB","device_type":"sensor","type":"subscribe"} })",
      R"({ "kelvora.websocket": {"device_id":"0123456789AB","device_type":"sensor","type":"unsubscribe"} })",
  }));
  EXPECT_TRUE(log.Records().empty()) << "announcements write no record";
}

// The listener is started once per process, so the whole life of it is one test.
TEST(WebsocketListener, CommandsFromTheBusBecomeMessagesUntilStopped) {
  testsupport::LogCapture log;
  for (auto& message : Drain()) DeletePayload(message);
  EventWatcher watcher("kelvora.websocket");
  ASSERT_TRUE(watcher.Ready());

  StartWebsocketListener();
  // Once the listener is up, a probe shows up as its verbose record.
  ASSERT_TRUE(bletest::WaitUntil([&] {
    ipc::UBUS ubus(30);
    ubus.Event("kelvora.websocket", R"({"type":"probe"})");
    return bletest::WaitUntil([&] { return !log.Messages("VERB ").empty(); }, 50ms);
  }));

  SendSubscribe("0123456789AB");
  {
    ipc::UBUS ubus(30);
    ASSERT_TRUE(ubus.Event("kelvora.websocket", R"({"type":"beacon","device_id":"0123456789AB","beacon":true})"));
    ASSERT_TRUE(ubus.Event("kelvora.websocket",
                           R"({"type":"folds","device_id":"0123456789AB","folds":{"a":1,"b":2.9,"c":true}})"));
    ASSERT_TRUE(ubus.Event("kelvora.websocket", R"({"type":"beacon","device_id":"0123456789AB","beacon":"on"})"));
  }
  ASSERT_TRUE(bletest::WaitUntil([] { return g_messageQueue.Size() >= 2; }));
  // The malformed beacon came last: once its reason is logged, all is in.
  ASSERT_TRUE(bletest::WaitUntil([&] { return !log.Messages("ERROR").empty(); }));

  auto messages = Drain();
  ASSERT_EQ(messages.size(), 2u);
  ASSERT_EQ(messages[0].type, static_cast<uint32_t>(LE_CTRL_BEACON));
  EXPECT_EQ(static_cast<BeaconPayload*>(messages[0].data)->device_id, "0123456789AB");
  EXPECT_TRUE(static_cast<BeaconPayload*>(messages[0].data)->beacon);
  ASSERT_EQ(messages[1].type, static_cast<uint32_t>(LE_CTRL_FOLD));
  EXPECT_EQ(static_cast<FoldPayload*>(messages[1].data)->folds,
            (std::map<std::string, int>{{"a", 1}, {"b", 2}, {"c", 1}}));
  for (auto& message : messages) DeletePayload(message);

  // The texts as the bus renders them, the own announcement among them.
  const auto verbose = log.Messages("VERB ");
  const std::vector<std::string> expected = {
      R"({"device_id":"0123456789AB","device_type":"sensor","type":"subscribe"})",
      R"({"type":"beacon","device_id":"0123456789AB","beacon":true})",
      R"({"type":"folds","device_id":"0123456789AB","folds":{"a":1,"b":2.9,"c":true}})",
      R"({"type":"beacon","device_id":"0123456789AB","beacon":"on"})",
  };
  ASSERT_GE(verbose.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(verbose.end() - static_cast<long>(expected.size()), verbose.end()), expected);
  EXPECT_EQ(log.Messages("ERROR"), (std::vector<std::string>{"Drop command : \"beacon\" is not a boolean"}));

  StopWebsocketListener();
  {
    ipc::UBUS ubus(30);
    ASSERT_TRUE(ubus.Event("kelvora.websocket", R"({"type":"beacon","device_id":"0123456789AC","beacon":true})"));
  }
  // The other listener has it, so the bus has delivered it.
  ASSERT_TRUE(bletest::WaitUntil([&] {
    for (const auto& line : watcher.Lines()) {
      if (line.find("0123456789AC") != std::string::npos) return true;
    }
    return false;
  }));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(g_messageQueue.Empty());
}

}  // namespace
