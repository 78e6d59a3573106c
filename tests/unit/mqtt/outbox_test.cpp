#include <string>
#include <vector>

#include "log_capture.h"
#include "outbox.h"
#include "presence.h"
#include "status.h"

#include <nlohmann/json.hpp>

namespace {

// A link whose state the test sets; records what it accepted.
struct FakeLink : MessageLink {
  bool up = true;
  bool accept = true;
  std::vector<Outgoing> sent;
  bool Connected() const override { return up; }
  bool Send(const Outgoing& message) override {
    if (!accept || !up) return false;
    sent.push_back(message);
    return true;
  }
};

std::vector<std::string> Payloads(const std::vector<Outgoing>& messages) {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m.payload);
  return out;
}

using Queueing = testsupport::LogFixture;

TEST_F(Queueing, ReadingsWhileAwayGoOutInOrderAfterTheReconnection) {
  FakeLink link;
  Forwarder forwarder(link, true, 100);
  forwarder.Publish({"t", "1", 0, false});
  link.up = false;
  for (const char* p : {"2", "3", "4"}) forwarder.Publish({"t", p, 0, false});
  forwarder.Drain();
  EXPECT_EQ(forwarder.Queued(), 3u);
  link.up = true;
  // A new reading must not overtake those waiting.
  forwarder.Publish({"t", "5", 0, false});
  EXPECT_EQ(Payloads(link.sent), (std::vector<std::string>{"1"}));
  forwarder.Drain();
  EXPECT_EQ(Payloads(link.sent), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(forwarder.Queued(), 0u);
  EXPECT_EQ(forwarder.Published(), 5u);
  EXPECT_EQ(forwarder.Dropped(), 0u);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(Queueing, RefusedPublishWhileConnectedIsKeptAndRetried) {
  FakeLink link;
  link.accept = false;
  Forwarder forwarder(link, true, 10);
  forwarder.Publish({"t", "1", 1, false});
  EXPECT_EQ(forwarder.Failed(), 1u);
  EXPECT_EQ(forwarder.Queued(), 1u);
  link.accept = true;
  forwarder.Drain();
  EXPECT_EQ(Payloads(link.sent), (std::vector<std::string>{"1"}));
  EXPECT_EQ(link.sent[0].qos, 1);
}

TEST_F(Queueing, FullQueueDropsTheOldestWithOneWarningPerOutage) {
  FakeLink link;
  link.up = false;
  Forwarder forwarder(link, true, 3);
  for (int i = 1; i <= 6; ++i) forwarder.Publish({"t", std::to_string(i), 0, false});
  EXPECT_EQ(forwarder.Queued(), 3u);
  EXPECT_EQ(forwarder.Dropped(), 3u);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_NE(Lines()[0].find(" WARN "), std::string::npos);
  link.up = true;
  forwarder.Drain();
  EXPECT_EQ(Payloads(link.sent), (std::vector<std::string>{"4", "5", "6"}));
  // The next outage warns again.
  link.up = false;
  for (int i = 7; i <= 10; ++i) forwarder.Publish({"t", std::to_string(i), 0, false});
  EXPECT_EQ(Messages().size(), 2u);
}

TEST_F(Queueing, DisabledKeepsNothing) {
  FakeLink link;
  link.up = false;
  Forwarder forwarder(link, false, 3);
  for (int i = 0; i < 5; ++i) forwarder.Publish({"t", "x", 0, false});
  EXPECT_EQ(forwarder.Queued(), 0u);
  EXPECT_EQ(forwarder.Failed(), 5u);
  EXPECT_EQ(forwarder.Dropped(), 0u);
  EXPECT_TRUE(Messages().empty());
}

struct Recorder {
  std::vector<Outgoing> out;
  Presence::PublishFunction Function() {
    return [this](Outgoing m) { out.push_back(std::move(m)); };
  }
  // The payloads published on `topic`, in order.
  std::vector<nlohmann::json> On(const std::string& topic) const {
    std::vector<nlohmann::json> found;
    for (const Outgoing& m : out) {
      if (m.topic == topic) found.push_back(nlohmann::json::parse(m.payload));
    }
    return found;
  }
};

constexpr const char* kBody = R"({"ts":1,"v":12})";

TEST(PresenceTest, NodeOfAReadingKey) {
  EXPECT_EQ(Presence::NodeOf("0123456789AB_2"), "0123456789AB");
  EXPECT_EQ(Presence::NodeOf("0123456789AB"), "0123456789AB");
  EXPECT_EQ(Presence::NodeOf("AB_x"), "AB_x");
  EXPECT_EQ(Presence::NodeOf("AB_"), "AB_");
  EXPECT_EQ(Presence::NodeOf("_1"), "_1");
}

TEST(PresenceTest, NodeGoesOnlineWithItsFirstReadingAndOfflineAfterTheTimeout) {
  Recorder r;
  Presence presence({true, false, "homeassistant", std::chrono::seconds(5), "gw", ""}, r.Function(), nullptr);
  const auto t0 = Presence::Clock::now();
  presence.Reading("N1_1", "AT", t0, kBody);
  presence.Reading("N1", "RH", t0 + std::chrono::seconds(2), kBody);
  ASSERT_EQ(r.out.size(), 1u);
  EXPECT_EQ(r.out[0].topic, "kelvora/N1/status");
  EXPECT_EQ(r.out[0].payload, "online");
  EXPECT_TRUE(r.out[0].retain);
  presence.Expire(t0 + std::chrono::seconds(7));
  EXPECT_EQ(r.out.size(), 1u) << "the last reading is only 5 s old";
  presence.Expire(t0 + std::chrono::seconds(8));
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_EQ(r.out[1].payload, "offline");
  presence.Expire(t0 + std::chrono::seconds(20));
  EXPECT_EQ(r.out.size(), 2u);
  presence.Reading("N1", "RH", t0 + std::chrono::seconds(21), kBody);
  ASSERT_EQ(r.out.size(), 3u);
  EXPECT_EQ(r.out[2].payload, "online");
}

TEST(PresenceTest, DiscoveryOncePerTypeAgainOnBirthRemovedWithTheNode) {
  Recorder r;
  int lookups = 0;
  Presence presence({false, true, "ha", std::chrono::seconds(60), "gw", ""}, r.Function(),
                    [&](const std::string& node) {
                      ++lookups;
                      return NodeInfo{"Kitchen " + node, "2.1.0"};
                    });
  const auto now = Presence::Clock::now();
  presence.Reading("N1", "AT", now, kBody);
  presence.Reading("N1", "AT", now, kBody);
  presence.Reading("N1_3", "AT", now, kBody);
  presence.Reading("N2", "RH", now, kBody);
  ASSERT_EQ(r.out.size(), 3u);
  EXPECT_EQ(lookups, 2) << "once per node";
  EXPECT_EQ(r.out[0].topic, "ha/sensor/kelvora_N1/AT/config");
  EXPECT_EQ(r.out[1].topic, "ha/sensor/kelvora_N1_3/AT/config");
  const auto config = nlohmann::json::parse(r.out[1].payload);
  EXPECT_EQ(config["device"]["identifiers"], nlohmann::json::array({"kelvora_N1"}));
  EXPECT_EQ(config["device"]["name"], "Kitchen N1");
  EXPECT_EQ(config["device"]["sw_version"], "2.1.0");
  EXPECT_EQ(config["name"], "Temperature 3") << "a second temperature of the node";
  EXPECT_EQ(config["state_topic"], "kelvora/N1_3/AT");
  EXPECT_EQ(config["unique_id"], "kelvora_N1_3_AT");

  presence.Rediscover();
  ASSERT_EQ(r.out.size(), 7u);
  EXPECT_EQ(r.out[3].topic, "ha/binary_sensor/kelvora_gw/status/config") << "the gateway first";
  presence.Removed("N1");
  ASSERT_EQ(r.out.size(), 9u);
  EXPECT_EQ(r.out[7].payload, "");
  EXPECT_EQ(r.out[8].payload, "");
  EXPECT_TRUE(r.out[8].retain);
  presence.Reading("N1", "AT", now, kBody);
  EXPECT_EQ(r.out.size(), 10u) << "a node that comes back is announced again";
}

TEST(PresenceTest, GatewayAndSensorRecordsForHomeAssistant) {
  Recorder r;
  Presence presence({true, true, "ha", std::chrono::seconds(600), "gw 1", "1.4.2-1"}, r.Function(),
                    [](const std::string&) { return NodeInfo{"Room1", "1.2.3+45"}; });
  presence.Announce();
  const auto now = Presence::Clock::now();
  presence.Reading("N1", "AT", now, R"({"ts":1,"v":21.5})");
  presence.Reading("N1_2", "AT", now, kBody);
  presence.Reading("N1", "PM_2_5", now, kBody);
  presence.Reading("N1", "XX", now, kBody);
  presence.Reading("N1", "YY", now, R"({"ts":1})");

  const auto gateway = r.On("ha/binary_sensor/kelvora_gw_1/status/config");
  ASSERT_EQ(gateway.size(), 1u);
  nlohmann::json device = gateway[0];
  const nlohmann::json origin = device["origin"];
  device.erase("origin");
  EXPECT_EQ(device, nlohmann::json::parse(R"({"device":{"identifiers":["kelvora_gw_1"],)"
      R"("manufacturer":"Kelvora","model":"Gateway","name":"gw 1","sw_version":"1.4.2-1"},)"
      R"("device_class":"connectivity","payload_off":"offline","payload_on":"online",)"
      R"("state_topic":"kelvora/gateway/gw 1/status","unique_id":"kelvora_gw_1_status"})"));
  EXPECT_EQ(origin["name"], "kelvora-mqtt-app");
  EXPECT_EQ(origin["sw_version"], "1.4.2-1");
  EXPECT_TRUE(origin["support_url"].is_string());

  const nlohmann::json at = r.On("ha/sensor/kelvora_N1/AT/config").at(0);
  EXPECT_FALSE(at.contains("name")) << "Home Assistant names it after the device class";
  EXPECT_EQ(at["suggested_display_precision"], 1);
  EXPECT_EQ(at["device"]["via_device"], gateway[0]["device"]["identifiers"][0]);
  EXPECT_EQ(at["device"]["manufacturer"], "Kelvora");
  EXPECT_EQ(at["device"]["model"], "Sensor node");
  EXPECT_EQ(at["device"]["sw_version"], "1.2.3+45");
  EXPECT_EQ(at["origin"], origin);
  EXPECT_FALSE(at.contains("expire_after")) << "no interval observed yet";
  EXPECT_EQ(r.On("ha/sensor/kelvora_N1_2/AT/config").at(0)["name"], "Temperature 2");
  const nlohmann::json pm = r.On("ha/sensor/kelvora_N1/PM_2_5/config").at(0);
  EXPECT_FALSE(pm.contains("name"));
  EXPECT_EQ(pm["suggested_display_precision"], 0);

  const nlohmann::json xx = r.On("ha/sensor/kelvora_N1/XX/config").at(0);
  EXPECT_EQ(xx["name"], "XX");
  EXPECT_EQ(xx["state_class"], "measurement") << "numeric";
  EXPECT_FALSE(xx.contains("device_class") || xx.contains("suggested_display_precision"));
  const nlohmann::json yy = r.On("ha/sensor/kelvora_N1/YY/config").at(0);
  EXPECT_FALSE(yy.contains("state_class")) << "no number to measure";
}

TEST(PresenceTest, ExpireAfterFollowsEachTypesReportingInterval) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  Recorder r;
  Presence presence({true, true, "ha", seconds(600), "gw", ""}, r.Function(), nullptr);
  const std::string at = "ha/sensor/kelvora_N1/AT/config";
  const std::string rh = "ha/sensor/kelvora_N1/RH/config";
  auto expiries = [&](const std::string& topic) {
    std::vector<int> out;
    for (const auto& config : r.On(topic)) out.push_back(config.value("expire_after", 0));
    return out;
  };
  const auto t0 = Presence::Clock::now();
  presence.Reading("N1", "AT", t0, kBody);
  presence.Reading("N1", "AT", t0 + milliseconds(200), kBody);  // together: no interval
  EXPECT_EQ(expiries(at), std::vector<int>({0}));
  presence.Reading("N1", "AT", t0 + milliseconds(20100), kBody);
  EXPECT_EQ(expiries(at), std::vector<int>({0, 60})) << "three intervals of 20 s, not node_timeout";
  presence.Reading("N1", "AT", t0 + seconds(40), kBody);
  presence.Reading("N1", "AT", t0 + seconds(65), kBody);  // 25 s: within half as long again
  EXPECT_EQ(expiries(at), std::vector<int>({0, 60}));
  presence.Reading("N1", "AT", t0 + seconds(110), kBody);
  EXPECT_EQ(expiries(at), std::vector<int>({0, 60, 135})) << "a 45 s gap: the type reports less often";

  presence.Reading("N1", "RH", t0, kBody);
  presence.Reading("N1", "RH", t0 + seconds(5), kBody);
  presence.Reading("N1", "RH", t0 + seconds(14), kBody);  // 9 s, still under the floor
  EXPECT_EQ(expiries(rh), std::vector<int>({0, 30}));

  // A gap across an outage of the node is not an interval.
  presence.Expire(t0 + seconds(711));
  presence.Reading("N1", "AT", t0 + seconds(1000), kBody);
  presence.Reading("N1", "AT", t0 + seconds(1300), kBody);
  EXPECT_EQ(expiries(at), std::vector<int>({0, 60, 135, 900}));
  presence.Rediscover();
  EXPECT_EQ(expiries(at).back(), 900);
}

TEST(PresenceTest, NodeInfoFromTheBleDaemonsReply) {
  const char* reply =
      R"({"nodes":[{"device_id":"A","name":"a","version":"1"},{"device_id":"B","name":"b","version":"2"}]})";
  const NodeInfo info = NodeInfoFromReply(reply, "B");
  EXPECT_EQ(info.name, "b");
  EXPECT_EQ(info.version, "2");
  EXPECT_TRUE(NodeInfoFromReply(reply, "C").name.empty());
  EXPECT_TRUE(NodeInfoFromReply("not json", "A").name.empty());
  EXPECT_TRUE(NodeInfoFromReply(nullptr, "A").name.empty());
}

TEST(StatusTest, EveryMemberWithANullSinceBeforeTheFirstConnection) {
  StatusView view;
  view.version = "1.0";
  view.uptime = 7;
  view.broker = "h:1883";
  view.client_id = "gw";
  view.received = 3;
  EXPECT_EQ(StatusJson(view),
            R"({"broker":"h:1883","client_id":"gw","connected":false,"dropped":0,"enabled":false,)"
            R"("failed":0,"last_disconnect":"","published":0,"queued":0,"received":3,"reconnects":0,)"
            R"("since":null,"uptime":7,"version":"1.0"})");
  view.connection.since = 1700000000;
  EXPECT_NE(StatusJson(view).find(R"("since":1700000000)"), std::string::npos);
}

}  // namespace
