#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include <nlohmann/json.hpp>

#include "log_capture.h"
#include "manager/link_policy.h"

namespace {

using links::ScanWatchdog;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Step = ScanWatchdog::Step;

links::Settings TestSettings() {
  links::Settings s;
  s.scan_quiet = seconds(10);
  s.scan_pause = seconds(5);
  s.scan_pause_max = seconds(20);
  s.scan_steps = 3;
  s.scan_hour = seconds(100);
  return s;
}

// Runs the watchdog once a second for `span`; the time of every step taken.
std::vector<std::pair<int, Step>> Tick(ScanWatchdog& dog, links::Clock::time_point start, int from, int to,
                                      bool missing = true, bool links_up = false) {
  std::vector<std::pair<int, Step>> steps;
  for (int t = from; t <= to; ++t) {
    const Step step = dog.Check(start + seconds(t), missing, links_up);
    if (step != Step::kNone) steps.emplace_back(t, step);
  }
  return steps;
}

}  // namespace

TEST(LinkSettings, DefaultsValuesAndBadValues) {
  testsupport::LogCapture log;
  const links::Settings defaults = links::ParseSettings(nlohmann::json::object());
  EXPECT_EQ(defaults.node_timeout, seconds(600));
  EXPECT_FALSE(defaults.clock_trusted);
  EXPECT_EQ(defaults.scan_quiet, seconds(90));
  EXPECT_EQ(defaults.scan_hour, seconds(3600));
  EXPECT_TRUE(log.Messages("ERROR").empty());

  const auto set = links::ParseSettings({{"node_timeout", "0"}, {"clock_trusted", "1"}, {"scan_quiet", "2"},
                                         {"scan_pause", "1"}, {"scan_steps", "3"}, {"scan_hour", "12"}});
  EXPECT_EQ(set.node_timeout, seconds(0));
  EXPECT_TRUE(set.clock_trusted);
  EXPECT_EQ(set.scan_quiet, seconds(2));
  EXPECT_EQ(set.scan_pause, seconds(1));
  EXPECT_EQ(set.scan_steps, 3u);
  EXPECT_EQ(set.scan_hour, seconds(12));

  // Each bad value keeps its default and is named in one error record.
  const auto bad = links::ParseSettings({{"node_timeout", "-5"}, {"scan_quiet", "0"}, {"scan_pause", "1x"},
                                         {"clock_trusted", "maybe"}, {"scan_hour", nlohmann::json::array()}});
  EXPECT_EQ(bad.node_timeout, seconds(600));
  EXPECT_EQ(bad.scan_quiet, seconds(90));
  EXPECT_EQ(bad.scan_pause, seconds(60));
  EXPECT_FALSE(bad.clock_trusted);
  EXPECT_EQ(bad.scan_hour, seconds(3600));
  const auto errors = log.Messages("ERROR");
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(errors[0], "Option node_timeout is not a number from 0 to 86400 : \"-5\"");
}

TEST(ConnectErrors, ClassifiedByNameAndAbortText) {
  using links::ConnectFailure;
  EXPECT_EQ(links::ClassifyConnectError("org.bluez.Error.InProgress", "Operation already in progress"),
            ConnectFailure::kInProgress);
  EXPECT_EQ(links::ClassifyConnectError("org.bluez.Error.NotReady", "Resource Not Ready"), ConnectFailure::kNotReady);
  EXPECT_EQ(links::ClassifyConnectError("org.freedesktop.DBus.Error.NoReply", "timeout"), ConnectFailure::kTimeout);
  EXPECT_EQ(links::ClassifyConnectError("org.bluez.Error.Failed", "le-connection-abort-by-local"),
            ConnectFailure::kAborted);
  EXPECT_EQ(links::ClassifyConnectError("org.bluez.Error.Failed", "Software caused connection abort"),
            ConnectFailure::kFailed);
  EXPECT_EQ(links::ClassifyConnectError("org.freedesktop.DBus.Error.UnknownObject", "Device removed"),
            ConnectFailure::kOther);
  EXPECT_FALSE(links::Retryable(ConnectFailure::kOther));
  EXPECT_TRUE(links::Retryable(ConnectFailure::kTimeout));
}

TEST(ConnectErrors, BackoffDoublesWithinItsSpreadUpToTheCap) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    int64_t nominal = 250;
    for (unsigned retry = 1; retry <= 8; ++retry) {
      const int64_t pause = links::Backoff(retry, random).count();
      EXPECT_GE(pause, nominal - nominal / 4) << retry;
      EXPECT_LE(pause, nominal + nominal / 4) << retry;
      nominal = std::min<int64_t>(nominal * 2, links::kBackoffMax.count());
    }
  }
  // Two nodes failing together do not retry in step.
  std::vector<int64_t> firsts;
  for (int i = 0; i < 20; ++i) firsts.push_back(links::Backoff(1, random).count());
  EXPECT_GT(*std::max_element(firsts.begin(), firsts.end()) - *std::min_element(firsts.begin(), firsts.end()), 20);
}

TEST(ScanWatchdog, RestartsThenPowerCyclesWithGrowingPausesWithinTheCap) {
  const auto start = links::Clock::now();
  ScanWatchdog dog(TestSettings(), start);
  const auto steps = Tick(dog, start, 0, 99);
  // Quiet 10 s, then pauses of 5, 10, 20 s; the fourth step waits for the
  // first to leave the 100 s window.
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0], std::make_pair(10, Step::kRestartDiscovery));
  EXPECT_EQ(steps[1], std::make_pair(15, Step::kPowerCycle));
  EXPECT_EQ(steps[2], std::make_pair(25, Step::kPowerCycle));
  EXPECT_TRUE(dog.CapReached());
  const auto later = Tick(dog, start, 100, 129);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0], std::make_pair(110, Step::kPowerCycle));
  EXPECT_FALSE(dog.FirstOfItsKind());
}

TEST(ScanWatchdog, EachKindIsFirstOnceAndActivityStartsAfresh) {
  const auto start = links::Clock::now();
  links::Settings settings = TestSettings();
  settings.scan_steps = 10;  // the cap spans spells; not the point here
  ScanWatchdog dog(settings, start);
  ASSERT_EQ(dog.Check(start + seconds(10), true), Step::kRestartDiscovery);
  EXPECT_TRUE(dog.FirstOfItsKind());
  ASSERT_EQ(dog.Check(start + seconds(15), true), Step::kPowerCycle);
  EXPECT_TRUE(dog.FirstOfItsKind());
  ASSERT_EQ(dog.Check(start + seconds(25), true), Step::kPowerCycle);
  EXPECT_FALSE(dog.FirstOfItsKind());
  EXPECT_TRUE(dog.Recovering());

  // Discovery delivers again: a new spell needs a full quiet time, then
  // begins with a restart again, with the first pause.
  dog.Activity(start + seconds(26));
  EXPECT_FALSE(dog.Recovering());
  EXPECT_EQ(dog.Check(start + seconds(35), true), Step::kNone);
  EXPECT_EQ(dog.Check(start + seconds(36), true), Step::kRestartDiscovery);
  EXPECT_TRUE(dog.FirstOfItsKind());
}

TEST(ScanWatchdog, NothingWhileNoNodeIsMissingAndNoPowerCycleWhileLinksAreUp) {
  const auto start = links::Clock::now();
  ScanWatchdog dog(TestSettings(), start);
  EXPECT_TRUE(Tick(dog, start, 0, 50, false).empty());
  // A node goes missing at 50: the quiet time counts from then.
  auto steps = Tick(dog, start, 51, 59, true, true);
  EXPECT_TRUE(steps.empty());
  steps = Tick(dog, start, 60, 90, true, true);
  ASSERT_GE(steps.size(), 2u);
  for (const auto& step : steps) EXPECT_EQ(step.second, Step::kRestartDiscovery);
  EXPECT_EQ(steps[0].first, 60);
}
