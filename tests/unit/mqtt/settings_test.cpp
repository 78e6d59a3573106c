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

using Settings = LogCapture;

TEST_F(Settings, OptionNamesOfTheConfigurationHaveTheMatchedHashes) {
  EXPECT_EQ(ipc::Fnv1a("enable"), 0xaf8bb8ceu);
  EXPECT_EQ(ipc::Fnv1a("host"), 0xaffea56fu);
  EXPECT_EQ(ipc::Fnv1a("port"), 0x7be412a6u);
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
