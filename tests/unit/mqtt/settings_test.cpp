#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ipc/fnv.h"
#include "log_capture.h"
#include "mqtt_settings.h"

namespace {

std::string Reply(const std::string& values) { return R"({"values":)" + values + "}"; }

std::string Option(const std::string& name, const std::string& value) {
  return Reply(R"({".type":"mqtt","enable":"1",")" + name + R"(":")" + value + R"("})");
}

using Settings = testsupport::LogFixture;

TEST_F(Settings, OptionNamesOfTheConfigurationHaveTheMatchedHashes) {
  EXPECT_EQ(ipc::Fnv1a("enable"), 0xaf8bb8ceu);
  EXPECT_EQ(ipc::Fnv1a("host"), 0xaffea56fu);
  EXPECT_EQ(ipc::Fnv1a("port"), 0x7be412a6u);
}

// Found by fuzz/harness/mqtt_uci_options.cpp: setting the defaults read
// each field's value first, undefined for a bool not yet initialised (a
// settings object on the stack). Under UBSan the old code fails here.
TEST_F(Settings, DefaultsReadNoFieldBeforeSettingIt) {
  alignas(MqttSettings) unsigned char storage[sizeof(MqttSettings)];
  std::memset(storage, 0xF0, sizeof storage);
  auto* settings = new (storage) MqttSettings;
  EXPECT_FALSE(settings->enable());
  EXPECT_FALSE(settings->tls());
  EXPECT_TRUE(settings->tls_verify());
  settings->~MqttSettings();
}

TEST_F(Settings, DefaultsWhenNothingWasRead) {
  MqttSettings settings;
  EXPECT_FALSE(settings.enable());
  EXPECT_EQ(settings.host(), "0.0.0.0");
  EXPECT_EQ(settings.port(), 1883);

  // A section with no options, a reply without "values" and a reply whose
  // "values" is not an object change nothing and are not errors.
  settings.Apply(Reply("{}").c_str());
  settings.Apply("{}");
  settings.Apply(Reply(R"("mqtt")").c_str());
  EXPECT_FALSE(settings.enable());
  EXPECT_EQ(settings.host(), "0.0.0.0");
  EXPECT_EQ(settings.port(), 1883);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(Settings, ReadsAllThreeOptionsAndIgnoresOthers) {
  MqttSettings settings;
  settings.Apply(
      R"({"values":{".anonymous":false,".type":"mqtt",".name":"mqtt","enable":"1",)"
      R"("host":"broker.example.net","port":"8883","user":"nobody","list":["a","b"]}})");
  EXPECT_TRUE(settings.enable());
  EXPECT_EQ(settings.host(), "broker.example.net");
  EXPECT_EQ(settings.port(), 8883);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(Settings, HostIsStoredUnchanged) {
  for (const std::string host : {"", " 10.0.0.1 ", "b\xc3\xa4r.local", "::1"}) {
    MqttSettings settings;
    settings.Apply(Option("host", host).c_str());
    EXPECT_EQ(settings.host(), host);
  }
}

TEST_F(Settings, EnableTextRules) {
  const std::vector<std::pair<std::string, bool>> converts = {
      {"1", true},  {"0", false},  {"01", true},  {"+1", true},   {"001", true},
      {"+0", false}, {"-0", false}, {"-00", false}, {"+001", true}, {"0000", false},
  };
  for (const auto& [text, expected] : converts) {
    MqttSettings settings;
    settings.Apply(Reply(R"({"enable":")" + text + R"("})").c_str());
    EXPECT_EQ(settings.enable(), expected) << "enable '" << text << "'";
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(Settings, EnableThatDoesNotConvertKeepsTheDefaultWithAnErrorNamingTheOption) {
  const std::vector<std::string> rejected = {"yes", "true", "10", "", "-1", "2", " 1", "1 ", "+", "0x1"};
  for (const std::string& text : rejected) {
    MqttSettings settings;
    settings.Apply(Reply(R"({"enable":")" + text + R"(","port":"1884"})").c_str());
    EXPECT_FALSE(settings.enable()) << "enable '" << text << "'";
    EXPECT_EQ(settings.port(), 1884) << "the other options are still read";
  }
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), rejected.size());
  for (size_t i = 0; i < rejected.size(); ++i) {
    EXPECT_NE(messages[i].find("enable"), std::string::npos) << messages[i];
    EXPECT_NE(messages[i].find("\"" + rejected[i] + "\""), std::string::npos) << messages[i];
  }
  EXPECT_NE(Lines().front().find(" ERROR "), std::string::npos);
}

TEST_F(Settings, PortTextRules) {
  const std::vector<std::pair<std::string, int>> converts = {
      {"8883", 8883}, {"+8883", 8883}, {"01883", 1883}, {"0", 0},
      // Unsigned 32 bits kept in an int; '-' negates modulo 2^32.
      {"-1", -1}, {"4294967295", -1}, {"-4294967295", 1}, {"2147483648", -2147483647 - 1},
  };
  for (const auto& [text, expected] : converts) {
    MqttSettings settings;
    settings.Apply(Reply(R"({"port":")" + text + R"("})").c_str());
    EXPECT_EQ(settings.port(), expected) << "port '" << text << "'";
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(Settings, PortThatDoesNotConvertKeepsTheDefaultWithAnErrorNamingTheOption) {
  const std::vector<std::string> rejected = {"",   "4294967296", "99999999999", "1883 ", " 1883",
                                             "+",  "-",          "18a3",        "0x50", "1e3"};
  for (const std::string& text : rejected) {
    MqttSettings settings;
    settings.Apply(Reply(R"({"port":")" + text + R"(","enable":"1"})").c_str());
    EXPECT_EQ(settings.port(), 1883) << "port '" << text << "'";
    EXPECT_TRUE(settings.enable());
  }
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), rejected.size());
  for (const auto& message : messages) {
    EXPECT_EQ(message.rfind("Option port : ", 0), 0u) << message;
  }
}

TEST_F(Settings, MatchedOptionThatIsNotAStringIsIgnoredWithAnError) {
  MqttSettings settings;
  settings.Apply(Reply(R"({"enable":["1"],"host":null,"port":8883})").c_str());
  EXPECT_FALSE(settings.enable());
  EXPECT_EQ(settings.host(), "0.0.0.0");
  EXPECT_EQ(settings.port(), 1883);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[0].find("enable"), std::string::npos);
  EXPECT_NE(messages[1].find("host"), std::string::npos);
  EXPECT_NE(messages[2].find("port"), std::string::npos);
}

TEST_F(Settings, ReplyThatIsNotJsonKeepsTheValuesAndLogsTheParserMessage) {
  MqttSettings settings;
  settings.Apply(Option("port", "8883").c_str());
  settings.Apply(R"({"values":{"port":"1")");
  settings.Apply(nullptr);
  EXPECT_TRUE(settings.enable());
  EXPECT_EQ(settings.port(), 8883);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("parse error"), std::string::npos) << messages[0];
}

}  // namespace

namespace {

TEST_F(Settings, NewOptionsHaveTheirDefaultsAndAreReadByName) {
  MqttSettings settings;
  EXPECT_EQ(settings.keepalive(), 60);
  EXPECT_EQ(settings.qos(), 0);
  EXPECT_TRUE(settings.tls_verify());
  EXPECT_FALSE(settings.tls());
  EXPECT_FALSE(settings.availability());
  EXPECT_EQ(settings.ha_prefix(), "homeassistant");
  EXPECT_EQ(settings.node_timeout(), 600);
  settings.Apply(Reply(R"({"username":"u","password":"p w","tls":"1","ca_file":"/c","cert_file":"/x",)"
                       R"("key_file":"/k","tls_verify":"0","client_id":"gw","keepalive":"30","qos":"1",)"
                       R"("node_timeout":"90","ha_discovery":"1","ha_prefix":"ha"})")
                     .c_str());
  EXPECT_EQ(settings.username(), "u");
  EXPECT_EQ(settings.password(), "p w");
  EXPECT_TRUE(settings.tls());
  EXPECT_EQ(settings.ca_file(), "/c");
  EXPECT_EQ(settings.cert_file(), "/x");
  EXPECT_EQ(settings.key_file(), "/k");
  EXPECT_FALSE(settings.tls_verify());
  EXPECT_EQ(settings.client_id(), "gw");
  EXPECT_EQ(settings.keepalive(), 30);
  EXPECT_EQ(settings.qos(), 1);
  EXPECT_EQ(settings.node_timeout(), 90);
  EXPECT_TRUE(settings.ha_discovery());
  EXPECT_TRUE(settings.availability()) << "discovery refers to the status topics";
  EXPECT_EQ(settings.ha_prefix(), "ha");
  EXPECT_TRUE(Messages().empty());
}

TEST_F(Settings, NumbersOutOfRangeGiveOneErrorAndTheDefault) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"qos", "2"}, {"qos", "-1"}, {"keepalive", "4"}, {"keepalive", "65536"},
      {"node_timeout", "0"}, {"qos", "one"}, {"tls", "yes"}};
  for (const auto& [name, text] : bad) {
    MqttSettings settings;
    settings.Apply(Option(name, text).c_str());
    EXPECT_EQ(settings.qos(), 0);
    EXPECT_EQ(settings.keepalive(), 60);
    EXPECT_EQ(settings.node_timeout(), 600);
    EXPECT_FALSE(settings.tls());
  }
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), bad.size());
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(messages[i].rfind("Option " + bad[i].first + " : ", 0), 0u) << messages[i];
    EXPECT_NE(messages[i].find("\"" + bad[i].second + "\""), std::string::npos) << messages[i];
  }
}

TEST_F(Settings, DefaultClientIdIsStableAndAValidTopicLevel) {
  const std::string id = DefaultClientId();
  EXPECT_EQ(id.rfind("kelvora-", 0), 0u);
  EXPECT_GT(id.size(), 8u);
  EXPECT_EQ(id.find_first_of("/+#"), std::string::npos);
  EXPECT_EQ(DefaultClientId(), id);
}

}  // namespace
