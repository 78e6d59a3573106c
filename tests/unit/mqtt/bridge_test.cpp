#include <string>
#include <tuple>
#include <vector>

#include "bridge.h"
#include "log_capture.h"

namespace {

queue::ThreadSafeQueue<mailbox::Message> g_box;

struct Published {
  std::string topic;
  std::string payload;
  int qos;
  bool operator==(const Published& o) const {
    return std::tie(topic, payload, qos) == std::tie(o.topic, o.payload, o.qos);
  }
};

std::ostream& operator<<(std::ostream& out, const Published& p) {
  return out << p.topic << " " << p.payload << " qos " << p.qos;
}

class Bridge : public testsupport::LogFixture {
 protected:
  void TearDown() override {
    DropMessages(g_box);
    LogFixture::TearDown();
  }

  // One idle-loop pass.
  void Pass() {
    ProcessMessage(g_box, [this](const std::string& topic, const std::string& payload, int qos) {
      published_.push_back({topic, payload, qos});
      return publish_result_;
    });
  }

  std::vector<Published> published_;
  bool publish_result_ = true;
};

TEST_F(Bridge, ReadingIsPublishedAsCompactDataUnderItsTopic) {
  SensorDataEventHandler(
      R"({"device_id":"A1","sensor_type":"PM_2_5","data":{"v":12,"ts":1700000000,"k":"PM_2_5"}})");
  ASSERT_EQ(g_box.Size(), 1u);
  Pass();
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0],
            (Published{"kelvora/A1/PM_2_5", R"({"k":"PM_2_5","ts":1700000000,"v":12})", 0}));
  EXPECT_TRUE(g_box.Empty());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(Bridge, OneMessagePerPassInArrivalOrder) {
  SensorDataEventHandler(R"({"data":{"ts":1,"v":1.5},"device_id":"0123456789AB","sensor_type":"TEMP"})");
  SensorDataEventHandler(R"({"data":{"ts":2},"device_id":"0123456789AB_2","sensor_type":"HUMI"})");
  Pass();
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0], (Published{"kelvora/0123456789AB/TEMP", R"({"ts":1,"v":1.5})", 0}));
  Pass();
  ASSERT_EQ(published_.size(), 2u);
  EXPECT_EQ(published_[1], (Published{"kelvora/0123456789AB_2/HUMI", R"({"ts":2})", 0}));
  Pass();
  EXPECT_EQ(published_.size(), 2u) << "an empty mailbox publishes nothing";
}

TEST_F(Bridge, NonAsciiIsPublishedUnescaped) {
  SensorDataEventHandler(
      "{\"data\":{\"note\":\"\xc2\xb5g/m\xc2\xb3\"},\"device_id\":\"D\",\"sensor_type\":\"S\"}");
  Pass();
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].payload, "{\"note\":\"\xc2\xb5g/m\xc2\xb3\"}");
}

TEST_F(Bridge, FailedPublishLosesOnlyThatReading) {
  publish_result_ = false;
  SensorDataEventHandler(R"({"data":{"ts":1},"device_id":"A","sensor_type":"T"})");
  SensorDataEventHandler(R"({"data":{"ts":2},"device_id":"A","sensor_type":"T"})");
  Pass();
  publish_result_ = true;
  Pass();
  ASSERT_EQ(published_.size(), 2u);
  EXPECT_EQ(published_[1].payload, R"({"ts":2})");
  EXPECT_TRUE(g_box.Empty());
  EXPECT_TRUE(Messages().empty()) << "a failed publish is not logged";
}

TEST_F(Bridge, MalformedEventsAreLoggedAndDroppedAndLaterReadingsStillGoOut) {
  const std::vector<std::string> malformed = {
      R"({"sensor_type":"T","data":{"ts":1}})",
      R"({"device_id":"A","data":{"ts":1}})",
      R"({"device_id":"A","sensor_type":"T"})",
      R"({"device_id":7,"sensor_type":"T","data":{"ts":1}})",
      R"({"device_id":"A","sensor_type":null,"data":{"ts":1}})",
      R"(["device_id","A"])",
      R"("text")",
  };
  for (const auto& text : malformed) SensorDataEventHandler(text.c_str());
  SensorDataEventHandler(R"({"data":{"ts":3},"device_id":"A","sensor_type":"T"})");
  for (size_t i = 0; i <= malformed.size(); ++i) Pass();

  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0], (Published{"kelvora/A/T", R"({"ts":3})", 0}));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), malformed.size());
  for (const auto& line : lines) EXPECT_NE(line.find(" ERROR "), std::string::npos) << line;
  const auto messages = Messages();
  EXPECT_NE(messages[0].find("device_id"), std::string::npos) << messages[0];
  EXPECT_NE(messages[1].find("sensor_type"), std::string::npos) << messages[1];
  EXPECT_NE(messages[2].find("data"), std::string::npos) << messages[2];
  EXPECT_NE(messages[3].find("type must be string"), std::string::npos) << messages[3];
}

TEST_F(Bridge, EventTextThatIsNotJsonIsLoggedAndNotPosted) {
  SensorDataEventHandler(R"({"device_id":"A",)");
  SensorDataEventHandler("");
  SensorDataEventHandler(nullptr);
  EXPECT_TRUE(g_box.Empty());
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[0].find("parse error"), std::string::npos) << messages[0];
  EXPECT_NE(messages[1].find("parse error"), std::string::npos) << messages[1];
}

TEST_F(Bridge, MessagesOfOtherTypesAreIgnored) {
  g_box.Push(mailbox::Message(0x2001, nullptr));
  g_box.Push(mailbox::Message(MSG_SENSOR_DATA, nullptr));
  Pass();
  Pass();
  EXPECT_TRUE(published_.empty());
  EXPECT_TRUE(g_box.Empty());
}

}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_box; }
