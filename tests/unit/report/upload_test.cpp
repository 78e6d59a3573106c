#include "upload.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "http_stub.h"
#include "log_capture.h"

namespace {

const std::string kBody = R"({"nodes":[{"id":"0123456789AB","vs":[{"k":"PM_2_5","ts":1700000000,"v":12}]}]})";

class Upload : public ::testing::Test {
 protected:
  Upload() {
    settings_.server_url = stub_.Url();
    settings_.auth_token = "s3cr3t";
  }

  reporttest::HttpStub stub_;
  reporttest::LogCapture log_;
  ReportSettings settings_;
};

TEST_F(Upload, PostsTheReportWithItsHeaders) {
  stub_.Respond(201, R"({"accepted":1})");
  EXPECT_TRUE(ReportSensorData(settings_, kBody));
  const auto requests = stub_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/gateways/report");
  EXPECT_EQ(request.body, kBody);
  auto has = [&](const std::string& line) {
    return std::find(request.headers.begin(), request.headers.end(), line) != request.headers.end();
  };
  EXPECT_TRUE(has("cache-control: no-cache"));
  EXPECT_TRUE(has("Content-Type: application/json"));
  EXPECT_TRUE(has("Authorization: Bearer s3cr3t"));
  EXPECT_TRUE(has("Content-Length: " + std::to_string(kBody.size())));
  // Success: the answer only in a verbose record.
  EXPECT_EQ(log_.Count("VERB ", R"({"accepted":1})"), 1u);
  EXPECT_EQ(log_.Count("ERROR") + log_.Count("WARN "), 0u);
}

TEST_F(Upload, JudgesTheAnswer) {
  stub_.Respond(404, "no such endpoint");
  EXPECT_TRUE(ReportSensorData(settings_, kBody));
  EXPECT_EQ(log_.Count("ERROR", "Server Error ( 404 ) : no such endpoint"), 1u);

  // A redirect is neither followed nor logged.
  stub_.Respond(302, "", {"Location: /elsewhere"});
  EXPECT_TRUE(ReportSensorData(settings_, kBody));
  EXPECT_EQ(stub_.Requests().size(), 2u);
  EXPECT_EQ(stub_.Requests().back().target, "/gateways/report");

  // An empty token still sends the header.
  settings_.auth_token.clear();
  stub_.Respond(200, "");
  EXPECT_TRUE(ReportSensorData(settings_, kBody));
  const auto headers = stub_.Requests().back().headers;
  EXPECT_NE(std::find(headers.begin(), headers.end(), "Authorization: Bearer "), headers.end());

  EXPECT_EQ(log_.Count("ERROR"), 1u);
  EXPECT_EQ(log_.Count("WARN "), 0u);
}

TEST_F(Upload, ProxyVariablesAreIgnored) {
  setenv("http_proxy", "http://127.0.0.1:1", 1);
  setenv("ALL_PROXY", "http://127.0.0.1:1", 1);
  stub_.Respond(200, "");
  const bool delivered = ReportSensorData(settings_, kBody);
  unsetenv("http_proxy");
  unsetenv("ALL_PROXY");
  EXPECT_TRUE(delivered);
  EXPECT_EQ(stub_.Requests().size(), 1u);
  EXPECT_EQ(log_.Count("WARN "), 0u);
}

TEST_F(Upload, LongAnswerIsCutInTheRecord) {
  stub_.Respond(500, std::string(200000, 'x'));
  EXPECT_TRUE(ReportSensorData(settings_, kBody));
  EXPECT_EQ(log_.Count("ERROR", "Server Error ( 500 ) : " + std::string(65536, 'x')), 1u);
}

TEST_F(Upload, FailuresBeforeTheServer) {
  settings_.server_url = "http://127.0.0.1:1";
  EXPECT_FALSE(ReportSensorData(settings_, kBody));
  EXPECT_EQ(log_.Count("WARN ", "Failed to connect() to host."), 1u);

  settings_.server_url = "http://no-such-host.invalid:8080";
  EXPECT_FALSE(ReportSensorData(settings_, kBody));
  EXPECT_EQ(log_.Count("WARN ", "Couldn't resolve host."), 1u);

  // Malformed address, TLS to a plain server, cancelled transfer: no record.
  settings_.server_url.clear();
  EXPECT_TRUE(ReportSensorData(settings_, kBody));
  settings_.server_url = "https" + stub_.Url().substr(4);
  EXPECT_TRUE(ReportSensorData(settings_, kBody));
  settings_.server_url = stub_.Url();
  stub_.Respond(200, "", {}, std::chrono::seconds(10));
  EXPECT_TRUE(ReportSensorData(settings_, kBody, [] { return true; }));
  EXPECT_EQ(log_.Count("WARN "), 2u);
  EXPECT_EQ(log_.Count("ERROR"), 0u);
}

TEST(UploadJudgement, CodeTable) {
  reporttest::LogCapture log;
  EXPECT_TRUE(JudgeResponse(200, "a"));
  EXPECT_TRUE(JudgeResponse(299, "b"));
  EXPECT_TRUE(JudgeResponse(300, "c"));
  EXPECT_TRUE(JudgeResponse(399, "d"));
  EXPECT_TRUE(JudgeResponse(400, "e"));
  EXPECT_TRUE(JudgeResponse(28, "Timeout was reached"));
  EXPECT_TRUE(JudgeResponse(60, "SSL peer certificate or SSH remote key was not OK"));
  EXPECT_FALSE(JudgeResponse(6, "x"));
  EXPECT_FALSE(JudgeResponse(7, "y"));
  EXPECT_EQ(log.Count("VERB ", "a"), 1u);
  EXPECT_EQ(log.Count("VERB ", "b"), 1u);
  EXPECT_EQ(log.Count("ERROR", "Server Error ( 400 ) : e"), 1u);
  EXPECT_EQ(log.Lines().size(), 5u);
}

}  // namespace
