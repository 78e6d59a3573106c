#include "reporter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "http_stub.h"
#include "log_capture.h"
#include "report_settings.h"

namespace {

using nlohmann::json;
using std::chrono::steady_clock;

void Offer(Reporter& reporter, const std::string& id, const std::string& type, uint32_t ts, json v) {
  json reading = {{"k", type}, {"ts", ts}, {"v", v}};
  reporter.UpdateData(id, type, reading);
}

TEST(Reporter, NothingWaitingBuildsNoReport) {
  Reporter reporter;
  EXPECT_FALSE(reporter.BuildReport().has_value());
  Offer(reporter, "0123456789AB", "PM_2_5", 30, 1);  // thinned away
  EXPECT_FALSE(reporter.BuildReport().has_value());
}

TEST(Reporter, GroupsByTypeInOrderOfFirstAppearanceOldestFirst) {
  Reporter reporter;
  Offer(reporter, "0123456789AB", "PM_2_5", 100, 1);
  Offer(reporter, "0123456789AB", "TEMP", 100, 20.5);
  Offer(reporter, "0123456789AB", "PM_2_5", 200, 2);
  Offer(reporter, "0123456789AB", "TEMP", 200, -3);
  Offer(reporter, "0123456789AB", "PM_2_5", 230, 9);  // thinned away
  const auto body = reporter.BuildReport();
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(*body,
            R"({"nodes":[{"id":"0123456789AB","vs":[)"
            R"({"k":"PM_2_5","ts":100,"v":1},{"k":"PM_2_5","ts":200,"v":2},)"
            R"({"k":"TEMP","ts":100,"v":20.5},{"k":"TEMP","ts":200,"v":-3}]}]})");
  // Drained: the next cycle has nothing.
  EXPECT_FALSE(reporter.BuildReport().has_value());
}

TEST(Reporter, SeparateQueuesPerNodeAndTypeAndEmptyNodesLeftOut) {
  Reporter reporter;
  Offer(reporter, "AAAAAAAAAAAA", "T", 100, 1);
  Offer(reporter, "BBBBBBBBBBBB", "T", 100, 2);   // same type, other node: own last_ts
  Offer(reporter, "AAAAAAAAAAAA", "H", 100, 3);   // other type, same node: own last_ts
  Offer(reporter, "ЖЖЖЖ_2", "T", 100, 4);          // non-ASCII id passes through as UTF-8
  auto body = reporter.BuildReport();
  ASSERT_TRUE(body.has_value());
  EXPECT_NE(body->find("\"id\":\"ЖЖЖЖ_2\""), std::string::npos);
  json nodes = json::parse(*body).at("nodes");
  ASSERT_EQ(nodes.size(), 3u);
  for (const auto& node : nodes) {
    const std::string id = node.at("id");
    if (id == "AAAAAAAAAAAA") {
      EXPECT_EQ(node.at("vs"), json::parse(R"([{"k":"T","ts":100,"v":1},{"k":"H","ts":100,"v":3}])"));
    } else if (id == "BBBBBBBBBBBB") {
      EXPECT_EQ(node.at("vs"), json::parse(R"([{"k":"T","ts":100,"v":2}])"));
    } else {
      EXPECT_EQ(id, "ЖЖЖЖ_2");
    }
  }

  // Only B has something new: A keeps its (empty) queues and is left out.
  Offer(reporter, "AAAAAAAAAAAA", "T", 130, 1);  // still thinned against A's last_ts
  Offer(reporter, "BBBBBBBBBBBB", "T", 160, 5);
  body = reporter.BuildReport();
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(*body, R"({"nodes":[{"id":"BBBBBBBBBBBB","vs":[{"k":"T","ts":160,"v":5}]}]})");
}

TEST(Reporter, RequeuedReadingsGoBackBeforeNewerOnes) {
  Reporter reporter;
  Offer(reporter, "N", "T", 100, 1);
  Offer(reporter, "N", "H", 100, 2);
  const auto first = reporter.BuildReport();
  ASSERT_TRUE(first.has_value());
  // Arrives during the failed upload.
  Offer(reporter, "N", "T", 160, 3);
  reporter.RequeueReport();
  EXPECT_EQ(reporter.PendingCount(), 3u);
  EXPECT_EQ(*reporter.BuildReport(),
            R"({"nodes":[{"id":"N","vs":[{"k":"T","ts":100,"v":1},{"k":"T","ts":160,"v":3},{"k":"H","ts":100,"v":2}]}]})");
  reporter.ReleaseReport();
  EXPECT_EQ(reporter.PendingCount(), 0u);
  EXPECT_FALSE(reporter.BuildReport().has_value());
  // A requeue after a release puts nothing back.
  reporter.RequeueReport();
  EXPECT_FALSE(reporter.BuildReport().has_value());
}

TEST(Reporter, BoundDropsOldestReadingsFirst) {
  Reporter reporter;
  const size_t bound = Reporter::kMaxPendingReadings;
  // Two queues filled alternately; reading i has ts 60 * (i / 2 + 1).
  for (size_t i = 0; i < bound + 3; ++i) {
    Offer(reporter, i % 2 ? "B" : "A", "T", static_cast<uint32_t>(60 * (i / 2 + 1)), static_cast<int>(i));
  }
  EXPECT_EQ(reporter.PendingCount(), bound);
  EXPECT_EQ(reporter.TakeDroppedCount(), 3u);
  EXPECT_EQ(reporter.TakeDroppedCount(), 0u);

  auto body = reporter.BuildReport();
  ASSERT_TRUE(body.has_value());
  json nodes = json::parse(*body).at("nodes");
  size_t total = 0;
  for (const auto& node : nodes) {
    const auto& vs = node.at("vs");
    total += vs.size();
    // Readings 0, 1, 2 went: A starts at 4, B at 3.
    EXPECT_EQ(vs.front().at("v").get<int>(), node.at("id") == "A" ? 4 : 3);
  }
  EXPECT_EQ(total, bound);

  // A failed upload and two new readings: the two oldest requeued go.
  Offer(reporter, "A", "T", 1000000, -1);
  Offer(reporter, "B", "T", 1000000, -2);
  reporter.RequeueReport();
  EXPECT_EQ(reporter.PendingCount(), bound);
  EXPECT_EQ(reporter.TakeDroppedCount(), 2u);
  nodes = json::parse(*reporter.BuildReport()).at("nodes");
  for (const auto& node : nodes) {
    const auto& vs = node.at("vs");
    EXPECT_EQ(vs.front().at("v").get<int>(), node.at("id") == "A" ? 6 : 5);
    EXPECT_EQ(vs.back().at("v").get<int>(), node.at("id") == "A" ? -1 : -2);
  }
}

class ReporterThread : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings() = ReportSettings{};
    Settings().server_url = stub_.Url();
    Settings().auth_token = "t0k3n";
  }
  void TearDown() override { Settings() = ReportSettings{}; }

  template <typename Predicate>
  bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = steady_clock::now() + timeout;
    while (!predicate()) {
      if (steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  reporttest::HttpStub stub_;
};

TEST_F(ReporterThread, FirstCycleRunsAtStartAndStopInterruptsTheSleep) {
  stub_.Respond(201, "{}");
  Reporter reporter;
  Offer(reporter, "N", "T", 100, 1);
  reporter.Start();
  ASSERT_TRUE(WaitFor([&] { return stub_.Requests().size() == 1; }));
  // The thread now sleeps 30 s; Stop must not wait for it.
  const auto before = steady_clock::now();
  reporter.Stop();
  EXPECT_LT(steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_EQ(stub_.Requests().at(0).body, R"({"nodes":[{"id":"N","vs":[{"k":"T","ts":100,"v":1}]}]})");
}

TEST_F(ReporterThread, StopRightAfterStartEndsTheThread) {
  for (int i = 0; i < 20; ++i) {
    Reporter reporter;
    reporter.Start();
    auto stopped = std::async(std::launch::async, [&] { reporter.Stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "round " << i;
  }
  // Stop without Start, twice, and destruction of a started reporter.
  Reporter idle;
  idle.Stop();
  idle.Stop();
  auto started = std::make_unique<Reporter>();
  started->Start();
  started.reset();
}

TEST_F(ReporterThread, StopAbortsASlowUpload) {
  stub_.Respond(201, "{}", {}, std::chrono::seconds(20));
  Reporter reporter;
  Offer(reporter, "N", "T", 100, 1);
  reporter.Start();
  ASSERT_TRUE(WaitFor([&] { return stub_.Requests().size() == 1; }));
  const auto before = steady_clock::now();
  reporter.Stop();
  EXPECT_LT(steady_clock::now() - before, std::chrono::seconds(5));
}

TEST_F(ReporterThread, ReadingsSurviveARefusedConnectionOnly) {
  reporttest::LogCapture log;
  Reporter reporter;
  Offer(reporter, "N", "T", 100, 1);

  // Nobody listens: kept.
  const std::string up = Settings().server_url;
  Settings().server_url = "http://127.0.0.1:1";
  reporter.ReportCycle();
  EXPECT_EQ(reporter.PendingCount(), 1u);
  EXPECT_EQ(log.Count("WARN ", "Failed to connect() to host."), 1u);

  // Name not resolvable: kept.
  Settings().server_url = "http://no-such-host.invalid";
  reporter.ReportCycle();
  EXPECT_EQ(reporter.PendingCount(), 1u);
  EXPECT_EQ(log.Count("WARN ", "Couldn't resolve host."), 1u);

  // Back: delivered once, in order, with what came meanwhile.
  Offer(reporter, "N", "T", 160, 2);
  Settings().server_url = up;
  stub_.Respond(500, "busy");
  reporter.ReportCycle();
  ASSERT_EQ(stub_.Requests().size(), 1u);
  EXPECT_EQ(stub_.Requests().at(0).body,
            R"({"nodes":[{"id":"N","vs":[{"k":"T","ts":100,"v":1},{"k":"T","ts":160,"v":2}]}]})");
  // An answer from the server, even an error, ends the readings' journey.
  EXPECT_EQ(reporter.PendingCount(), 0u);
  EXPECT_EQ(log.Count("ERROR", "Server Error ( 500 ) : busy"), 1u);
  reporter.ReportCycle();
  EXPECT_EQ(stub_.Requests().size(), 1u);
}

TEST_F(ReporterThread, EmptyServerAddressDropsQuietly) {
  reporttest::LogCapture log;
  Settings().server_url.clear();
  Reporter reporter;
  Offer(reporter, "N", "T", 100, 1);
  reporter.ReportCycle();
  EXPECT_EQ(reporter.PendingCount(), 0u);
  EXPECT_FALSE(reporter.BuildReport().has_value());
  EXPECT_EQ(log.Count("ERROR") + log.Count("WARN "), 0u);
}

}  // namespace
