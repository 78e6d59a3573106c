#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "events/websocket.h"
#include "log_capture.h"
#include "manager/messages.h"

namespace {

// Takes every message out of the mailbox.
std::vector<mailbox::Message> Drain() {
  std::vector<mailbox::Message> messages;
  while (!g_messageQueue.Empty()) messages.push_back(g_messageQueue.Pop());
  return messages;
}

class WebsocketCommand : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }

  static void Clear() {
    for (auto& message : Drain()) DeletePayload(message);
  }

  // Handles `text` and returns the one message it posted.
  mailbox::Message HandleOne(const char* text) {
    WebsocketDataEventHandler(text);
    auto messages = Drain();
    EXPECT_EQ(messages.size(), 1u) << text;
    if (messages.empty()) return mailbox::Message();
    for (size_t i = 1; i < messages.size(); ++i) DeletePayload(messages[i]);
    return messages[0];
  }

  BeaconPayload Beacon(const char* text) {
    auto message = HandleOne(text);
    EXPECT_EQ(message.type, static_cast<uint32_t>(LE_CTRL_BEACON));
    BeaconPayload payload{};
    if (message.type == LE_CTRL_BEACON) payload = *static_cast<BeaconPayload*>(message.data);
    DeletePayload(message);
    return payload;
  }

  FoldPayload Folds(const char* text) {
    auto message = HandleOne(text);
    EXPECT_EQ(message.type, static_cast<uint32_t>(LE_CTRL_FOLD));
    FoldPayload payload{};
    if (message.type == LE_CTRL_FOLD) payload = *static_cast<FoldPayload*>(message.data);
    DeletePayload(message);
    return payload;
  }

  testsupport::LogCapture log_;
};

TEST_F(WebsocketCommand, BeaconBecomesOneBeaconMessage) {
  const char* on = R"({"type":"beacon","device_id":"0123456789AB","beacon":true})";
  auto payload = Beacon(on);
  EXPECT_EQ(payload.device_id, "0123456789AB");
  EXPECT_TRUE(payload.beacon);

  payload = Beacon(R"({"beacon":false,"device_id":"0123456789AC","type":"beacon","extra":[1]})");
  EXPECT_EQ(payload.device_id, "0123456789AC");
  EXPECT_FALSE(payload.beacon);

  const auto verbose = log_.Messages("VERB ");
  ASSERT_EQ(verbose.size(), 2u);
  EXPECT_EQ(verbose[0], on) << "the text as received";
  EXPECT_TRUE(log_.Messages("ERROR").empty());
}

TEST_F(WebsocketCommand, FoldValuesBecomeInts) {
  auto payload = Folds(R"({"type":"folds","device_id":"0123456789AB","folds":{"a":1,"b":2.9,"c":true}})");
  EXPECT_EQ(payload.device_id, "0123456789AB");
  EXPECT_EQ(payload.folds, (std::map<std::string, int>{{"a", 1}, {"b", 2}, {"c", 1}}));

  // Numbers in the forms a bus may render them: doubles with six decimals
  // (the platform's own rendering), wide integers.
  payload = Folds(
      R"({"device_id":"X","folds":{"d":-2.900000,"e":false,"f":4294967297,"g":4294967295,)"
      R"("h":-2147483648,"i":18446744073709551615,"j":-2147483648.5},"type":"folds"})");
  EXPECT_EQ(payload.folds, (std::map<std::string, int>{{"d", -2},
                                                       {"e", 0},
                                                       {"f", 1},
                                                       {"g", -1},
                                                       {"h", -2147483647 - 1},
                                                       {"i", -1},
                                                       {"j", -2147483647 - 1}}));

  payload = Folds(R"({"type":"folds","device_id":"X","folds":{}})");
  EXPECT_TRUE(payload.folds.empty());
  EXPECT_TRUE(log_.Messages("ERROR").empty());
}

TEST_F(WebsocketCommand, CommandsArePostedInArrivalOrder) {
  WebsocketDataEventHandler(R"({"type":"beacon","device_id":"A","beacon":true})");
  WebsocketDataEventHandler(R"({"type":"folds","device_id":"B","folds":{"x":3}})");
  WebsocketDataEventHandler(R"({"type":"beacon","device_id":"C","beacon":false})");
  auto messages = Drain();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].type, static_cast<uint32_t>(LE_CTRL_BEACON));
  EXPECT_EQ(static_cast<BeaconPayload*>(messages[0].data)->device_id, "A");
  EXPECT_EQ(messages[1].type, static_cast<uint32_t>(LE_CTRL_FOLD));
  EXPECT_EQ(static_cast<FoldPayload*>(messages[1].data)->device_id, "B");
  EXPECT_EQ(messages[2].type, static_cast<uint32_t>(LE_CTRL_BEACON));
  EXPECT_EQ(static_cast<BeaconPayload*>(messages[2].data)->device_id, "C");
  for (auto& message : messages) DeletePayload(message);
}

TEST_F(WebsocketCommand, OtherTypesAndBadJsonLeaveOnlyTheTextRecord) {
  const std::vector<const char*> texts = {
      R"({"device_id":"0123456789AB","device_type":"sensor","type":"subscribe"})",
      R"({"device_id":"0123456789AB","device_type":"sensor","type":"unsubscribe"})",
      R"({"type":"Beacon","device_id":"0123456789AB","beacon":true})",
      R"({"type":"reboot"})",
      R"({"type":"beacon","device_id":"0123456789AB","beacon":true)",
      "not json",
      "",
  };
  for (const char* text : texts) WebsocketDataEventHandler(text);
  WebsocketDataEventHandler(nullptr);

  EXPECT_TRUE(Drain().empty());
  const auto records = log_.Records();
  ASSERT_EQ(records.size(), texts.size() + 1);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(records[i].severity, "VERB ");
    EXPECT_EQ(records[i].message, texts[i]);
  }
  EXPECT_EQ(records.back().message, "(null)");
}

TEST_F(WebsocketCommand, MalformedCommandsAreDroppedWithAReason) {
  const std::vector<const char*> texts = {
      R"([{"type":"beacon","device_id":"A","beacon":true}])",
      R"("beacon")",
      "42",
      "null",
      R"({"device_id":"A","beacon":true})",
      R"({"type":7,"device_id":"A","beacon":true})",
      R"({"type":null})",
      R"({"type":"beacon","beacon":true})",
      R"({"type":"beacon","device_id":12,"beacon":true})",
      R"({"type":"beacon","device_id":"A"})",
      R"({"type":"beacon","device_id":"A","beacon":1})",
      R"({"type":"beacon","device_id":"A","beacon":"true"})",
      R"({"type":"folds","folds":{"a":1}})",
      R"({"type":"folds","device_id":["A"],"folds":{"a":1}})",
      R"({"type":"folds","device_id":"A"})",
      R"({"type":"folds","device_id":"A","folds":[1,2]})",
      R"({"type":"folds","device_id":"A","folds":5})",
      R"({"type":"folds","device_id":"A","folds":{"a":1,"b":"2"}})",
      R"({"type":"folds","device_id":"A","folds":{"a":null}})",
      R"({"type":"folds","device_id":"A","folds":{"a":{"b":1}}})",
      R"({"type":"folds","device_id":"A","folds":{"a":[1]}})",
      R"({"type":"folds","device_id":"A","folds":{"a":1e10}})",
      R"({"type":"folds","device_id":"A","folds":{"a":-2147483649.0}})",
  };
  for (const char* text : texts) {
    WebsocketDataEventHandler(text);
    EXPECT_TRUE(Drain().empty()) << text;
  }
  EXPECT_EQ(log_.Messages("VERB ").size(), texts.size());
  const auto errors = log_.Messages("ERROR");
  ASSERT_EQ(errors.size(), texts.size()) << "one reason per dropped command";
  for (const auto& error : errors) EXPECT_EQ(error.rfind("Drop command : ", 0), 0u) << error;
}

}  // namespace
