#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include <nlohmann/json.hpp>

#include "status/link_status.h"

namespace {

using json = nlohmann::json;

class LinkStatus : public ::testing::Test {
 protected:
  void SetUp() override { status::Reset(); }
  void TearDown() override { status::Reset(); }

  static json Node(const std::string& device_id) {
    const json reply = json::parse(status::NodesJson());
    for (const json& node : reply["nodes"]) {
      if (node["device_id"] == device_id) return node;
    }
    return nullptr;
  }
};

}  // namespace

TEST_F(LinkStatus, NodeLifeShowsInItsEntry) {
  status::NodeCreated("0123456789AB", "/org/bluez/hci0/dev_C0_FF_EE_00_00_01");
  json node = Node("0123456789AB");
  EXPECT_EQ(node["state"], "connecting");
  EXPECT_TRUE(node["connected_since"].is_null());
  EXPECT_TRUE(node["last_reading_age"].is_null());
  EXPECT_TRUE(node["rssi"].is_null());

  // An info frame before the link is up does not count as identified.
  status::SetState("0123456789AB", status::LinkState::kIdentified);
  EXPECT_EQ(Node("0123456789AB")["state"], "connecting");

  status::SetState("0123456789AB", status::LinkState::kConnected);
  status::SetIdentity("0123456789AB", "Room1", "1.2.3+45");
  status::SetState("0123456789AB", status::LinkState::kIdentified);
  status::SensorFrame("0123456789AB", true);
  status::SensorFrame("0123456789AB", true);
  status::SensorFrame("0123456789AB", false);
  status::Rssi("0123456789AB", -71);
  node = Node("0123456789AB");
  EXPECT_EQ(node["state"], "identified");
  EXPECT_EQ(node["name"], "Room1");
  EXPECT_EQ(node["version"], "1.2.3+45");
  EXPECT_EQ(node["readings"], 2);
  EXPECT_EQ(node["rssi"], -71);
  EXPECT_EQ(node["last_reading_age"], 0);
  EXPECT_NEAR(node["connected_since"].get<double>(), static_cast<double>(std::time(nullptr)), 2);

  // The link drops: connecting again, counters kept; a new session of the
  // same id carries them on.
  status::SetState("0123456789AB", status::LinkState::kConnecting);
  status::Reconnect("0123456789AB");
  status::NodeGone("0123456789AB");
  EXPECT_EQ(Node("0123456789AB")["state"], "absent");
  status::NodeCreated("0123456789AB", "/org/bluez/hci0/dev_C0_FF_EE_00_00_01");
  node = Node("0123456789AB");
  EXPECT_EQ(node["readings"], 2);
  EXPECT_EQ(node["reconnects"], 1);
  EXPECT_TRUE(node["connected_since"].is_null());
}

TEST_F(LinkStatus, StatusCountsOnlyLiveSessionsAndHoldsEveryMember) {
  status::Start("1.4.2-1\n");
  status::NodeCreated("0123456789AB", "/a");
  status::NodeCreated("0123456789AC", "/b");
  status::NodeGone("0123456789AC");
  status::SensorFrame("0123456789AB", true);
  status::SilentStep("0123456789AB", 1);
  status::SilentStep("0123456789AB", 2);
  status::Count().power_cycles++;
  const json reply = json::parse(status::StatusJson());
  EXPECT_EQ(reply["version"], "1.4.2-1");
  EXPECT_EQ(reply["nodes"], 1);
  EXPECT_EQ(reply["readings_decoded"], 1);
  EXPECT_EQ(reply["recovery"]["silent_reconnects"], 1);
  EXPECT_EQ(reply["recovery"]["silent_removals"], 1);
  EXPECT_EQ(reply["recovery"]["power_cycles"], 1);
  for (const char* member : {"uptime", "adapter", "clock_trusted", "dropped", "events_sent", "send_failures",
                             "reconnects"}) {
    EXPECT_TRUE(reply.contains(member)) << member;
  }
  EXPECT_EQ(reply["adapter"], json({{"discovering", false}, {"powered", false}, {"present", false}}));
  // Compact, members in byte order.
  EXPECT_EQ(status::StatusJson().find(' '), std::string::npos);
  EXPECT_EQ(status::StatusJson().rfind("{\"adapter\":", 0), 0u);
  const json node = Node("0123456789AB");
  EXPECT_EQ(node["silent_reconnects"], 1);
  EXPECT_EQ(node["silent_removals"], 1);
}
