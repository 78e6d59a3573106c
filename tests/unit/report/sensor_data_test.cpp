#include "sensor_data.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "log_capture.h"

namespace {

using nlohmann::json;

class SensorData : public ::testing::Test {
 protected:
  void TearDown() override {
    while (!mailbox::DaemonMailbox().Empty()) {
      delete static_cast<json*>(mailbox::DaemonMailbox().Pop().data);
    }
  }

  // Sends `text` through the handler and the main-thread step.
  void Deliver(const char* text) {
    SensorDataEventHandler(text);
    ProcessMessage(mailbox::DaemonMailbox(), reporter_);
  }

  testsupport::LogCapture log_;
  Reporter reporter_;
};

TEST_F(SensorData, HandlerPostsTheParsedPayload) {
  SensorDataEventHandler(R"({"data":{"ts":1601267072,"v":25.000000},"device_id":"0123456789AB","sensor_type":"PM_1_0"})");
  ASSERT_FALSE(mailbox::DaemonMailbox().Empty());
  const mailbox::Message message = mailbox::DaemonMailbox().Pop();
  EXPECT_EQ(message.type, 0x2000u);
  std::unique_ptr<json> payload(static_cast<json*>(message.data));
  EXPECT_EQ(payload->at("device_id"), "0123456789AB");
  EXPECT_EQ(payload->at("data").at("v"), 25.0);
}

TEST_F(SensorData, TextThatIsNotJsonIsLoggedAndDropped) {
  SensorDataEventHandler("{\"data\":");
  SensorDataEventHandler(R"({"a":1 /* comment */})");
  SensorDataEventHandler(nullptr);
  EXPECT_TRUE(mailbox::DaemonMailbox().Empty());
  EXPECT_EQ(log_.CountContaining("ERROR", "parse error"), 2u);
}

// Found by fuzz/harness/report_event.cpp: the parser reports a number
// beyond double's range as out_of_range, which once escaped the handler and
// ended the listener thread with std::terminate.
TEST_F(SensorData, NumberOutOfRangeIsLoggedAndDropped) {
  SensorDataEventHandler("-1e400ta\":{\"");
  SensorDataEventHandler(R"({"data":{"ts":1e400,"v":1},"device_id":"0123456789AB","sensor_type":"AT"})");
  SensorDataEventHandler(R"({"data":{"ts":100,"v":-1e400},"device_id":"0123456789AB","sensor_type":"AT"})");
  EXPECT_TRUE(mailbox::DaemonMailbox().Empty());
  EXPECT_EQ(log_.CountContaining("ERROR", "number overflow parsing"), 3u);
}

TEST_F(SensorData, ReadingGetsSensorTypeAsK) {
  Deliver(R"({"data":{"k":"stale","ts":1601267072,"v":25.000000},"device_id":"0123456789AB_2","sensor_type":"PM_1_0"})");
  EXPECT_EQ(*reporter_.BuildReport(),
            R"({"nodes":[{"id":"0123456789AB_2","vs":[{"k":"PM_1_0","ts":1601267072,"v":25.0}]}]})");
}

TEST_F(SensorData, MalformedEventsAreLoggedAndDropped) {
  const char* malformed[] = {
      R"({"data":{"ts":100,"v":1},"sensor_type":"T"})",                      // no device_id
      R"({"data":{"ts":100,"v":1},"device_id":"N"})",                        // no sensor_type
      R"({"device_id":"N","sensor_type":"T"})",                              // no data
      R"({"data":{"ts":100,"v":1},"device_id":7,"sensor_type":"T"})",        // device_id not a string
      R"({"data":{"ts":100,"v":1},"device_id":"N","sensor_type":["T"]})",    // sensor_type not a string
      R"({"data":[100,1],"device_id":"N","sensor_type":"T"})",               // data not an object
      R"({"data":"100","device_id":"N","sensor_type":"T"})",                 // data a string
      R"({"data":{"ts":"100","v":1},"device_id":"N","sensor_type":"T"})",    // ts a string
      R"({"data":{"ts":true,"v":1},"device_id":"N","sensor_type":"T"})",     // ts a boolean
      R"({"data":{"ts":-5.5,"v":1},"device_id":"N","sensor_type":"T"})",     // ts out of range
  };
  for (const char* text : malformed) {
    EXPECT_NO_THROW(Deliver(text)) << text;
  }
  EXPECT_EQ(log_.CountContaining("ERROR", "Event dropped : "), std::size(malformed));
  // Null data becomes {"k"} and is dropped for its missing "ts".
  Deliver(R"({"data":null,"device_id":"N","sensor_type":"T"})");
  EXPECT_EQ(log_.CountContaining("ERROR", "key 'ts' not found"), 1u);
  EXPECT_FALSE(reporter_.BuildReport().has_value());

  // The daemon goes on: a good event after them is queued.
  Deliver(R"({"data":{"ts":100,"v":1},"device_id":"N","sensor_type":"T"})");
  EXPECT_EQ(*reporter_.BuildReport(), R"({"nodes":[{"id":"N","vs":[{"k":"T","ts":100,"v":1}]}]})");
}

TEST_F(SensorData, OneMessagePerCallAndOtherTypesIgnored) {
  ProcessMessage(mailbox::DaemonMailbox(), reporter_);  // empty mailbox
  json* other = new json(json::object());
  mailbox::Post(mailbox::Message(0x2001, other));
  SensorDataEventHandler(R"({"data":{"ts":100},"device_id":"N","sensor_type":"T"})");
  ProcessMessage(mailbox::DaemonMailbox(), reporter_);
  EXPECT_FALSE(reporter_.BuildReport().has_value());
  delete other;  // the consumer does not know the payload of another type
  ProcessMessage(mailbox::DaemonMailbox(), reporter_);
  EXPECT_EQ(reporter_.PendingCount(), 1u);
}

}  // namespace
