#include "config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "log_capture.h"

namespace {

TEST(Config, OptionNamesAndTheirHashes) {
  EXPECT_EQ(ipc::Fnv1a("url"), 0x328f4c1eu);
  EXPECT_EQ(ipc::Fnv1a("access_token"), 0x45654d99u);
}

// Found by fuzz/harness/report_uci_options.cpp: setting the defaults read
// each field's value first, undefined for a bool not yet initialised (a
// settings object on the stack). Under UBSan the old code fails here.
TEST(Config, DefaultsReadNoFieldBeforeSettingIt) {
  alignas(ReportSettings) unsigned char storage[sizeof(ReportSettings)];
  std::memset(storage, 0xF0, sizeof storage);
  auto* settings = new (storage) ReportSettings;
  EXPECT_TRUE(settings->verify_tls);
  EXPECT_EQ(settings->server_url, "");
  settings->~ReportSettings();
}

TEST(Config, SysSectionTakesOnlyItsOptions) {
  testsupport::LogCapture log;
  ReportSettings settings;
  SysParamsHandler(
      R"({"values":{".anonymous":false,".type":"sys",".name":"sys","whitelist":["0123456789AB"],)"
      R"("url":"https://cloud.example:8443","ca_file":"/etc/ssl/private-ca.pem","access_token":"not here"}})",
      settings);
  EXPECT_EQ(settings.server_url, "https://cloud.example:8443");
  EXPECT_EQ(settings.ca_file, "/etc/ssl/private-ca.pem");
  EXPECT_TRUE(settings.verify_tls);
  EXPECT_EQ(settings.auth_token, "");

  for (const char* off : {"0", "no", "off", "false", "disabled"}) {
    settings.verify_tls = true;
    SysParamsHandler((std::string(R"({"values":{"tls_verify":")") + off + "\"}}").c_str(), settings);
    EXPECT_FALSE(settings.verify_tls) << off;
  }
  SysParamsHandler(R"({"values":{"tls_verify":"1"}})", settings);
  EXPECT_TRUE(settings.verify_tls);
  EXPECT_EQ(log.Count("ERROR"), 0u);
}

TEST(Config, BadRepliesLeaveTheSettings) {
  testsupport::LogCapture log;
  ReportSettings settings;
  settings.server_url = "http://before";
  settings.auth_token = "before";
  SysParamsHandler("not json", settings);
  SysParamsHandler(R"({"other":1})", settings);
  SysParamsHandler(R"({"values":[]})", settings);
  SysParamsHandler(nullptr, settings);
  AuthParamsHandler(R"({"values":{}})", settings);
  EXPECT_EQ(settings.server_url, "http://before");
  EXPECT_EQ(settings.auth_token, "before");
  EXPECT_EQ(log.Count("ERROR"), 1u);

  // A value that is not a string is logged; the other options still count.
  SysParamsHandler(R"({"values":{"ca_file":"/ca.pem","url":17}})", settings);
  EXPECT_EQ(settings.server_url, "http://before");
  EXPECT_EQ(settings.ca_file, "/ca.pem");
  EXPECT_EQ(log.Count("ERROR"), 2u);

  AuthParamsHandler(R"({"values":{".name":"auth","access_token":"abc"}})", settings);
  EXPECT_EQ(settings.auth_token, "abc");
}

TEST(Config, WarnsWhenTheTokenIsAtRisk) {
  testsupport::LogCapture log;
  ReportSettings settings;
  EXPECT_FALSE(settings.allow_http);
  WarnInsecureSettings(settings);  // no server at all
  settings.server_url = "HTTPS://cloud";
  WarnInsecureSettings(settings);
  EXPECT_EQ(log.Lines().size(), 0u);

  // In clear text to this machine: a warning; to another host: refused
  // (an error naming the option) unless allow_http is on (a warning).
  settings.server_url = "http://127.0.0.1:8080";
  WarnInsecureSettings(settings);
  EXPECT_EQ(log.Count("WARN ", "Server is not https : the access token is sent in clear text to http://127.0.0.1:8080"),
            1u);
  settings.server_url = "http://gw:pw@cloud:8080/base";
  WarnInsecureSettings(settings);
  EXPECT_EQ(log.Count("ERROR", "Refusing to send the access token over plain http to cloud : "
                               "set sys.allow_http to 1 to allow it"),
            1u);
  SysParamsHandler(R"({"values":{"allow_http":"maybe"}})", settings);
  EXPECT_FALSE(settings.allow_http);
  SysParamsHandler(R"({"values":{"allow_http":"1"}})", settings);
  ASSERT_TRUE(settings.allow_http);
  WarnInsecureSettings(settings);
  // Never the url's password.
  EXPECT_EQ(log.Count("WARN ",
                      "Server is not https : the access token is sent in clear text to http://cloud:8080/base "
                      "(sys.allow_http is 1)"),
            1u);
  EXPECT_EQ(log.CountContaining("ERROR", "allow_http is not a boolean"), 1u);

  settings.server_url = "https://cloud";
  settings.verify_tls = false;
  WarnInsecureSettings(settings);
  EXPECT_EQ(log.CountContaining("WARN ", "TLS verification is off"), 1u);
  EXPECT_EQ(log.Lines().size(), 5u);
}

}  // namespace
