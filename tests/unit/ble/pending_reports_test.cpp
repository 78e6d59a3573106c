// Readings kept while the bus is away: order, bound, pacing and records.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "events/pending.h"
#include "log_capture.h"

namespace {

using namespace std::chrono_literals;
using events::PendingReports;

// A bus that can be taken away; records what went out.
struct FakeBus {
  bool up = true;
  bool receivers_ready = true;
  int attempts = 0;
  std::vector<std::string> sent;

  PendingReports Queue(size_t capacity, std::chrono::milliseconds pause = 0ms) {
    return PendingReports(
        capacity, pause,
        [this](const std::string& text) {
          ++attempts;
          if (!up) return false;
          sent.push_back(text);
          return true;
        },
        [this] { return receivers_ready; });
  }
};

std::vector<std::string> Numbered(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back(std::to_string(i));
  return out;
}

TEST(PendingReports, KeepsReadingsInOrderAndSendsThemBeforeNewerOnes) {
  testsupport::LogCapture log;
  FakeBus bus;
  auto queue = bus.Queue(100);

  queue.Send("1");
  bus.up = false;
  for (int i = 2; i <= 5; ++i) queue.Send(std::to_string(i));
  EXPECT_EQ(queue.Size(), 4u);
  queue.Flush();
  EXPECT_EQ(bus.sent, Numbered(1, 1));

  // Back: the next reading goes out after the kept ones.
  bus.up = true;
  queue.Send("6");
  EXPECT_EQ(bus.sent, Numbered(1, 6));
  EXPECT_EQ(queue.Size(), 0u);
  // Nothing was dropped: no warning, one record that they went out.
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, "INFO ");
  EXPECT_EQ(records[0].message, "Bus back: sent 4 readings kept while it was away");

  // A flush alone (no newer reading) sends them too.
  bus.up = false;
  queue.Send("7");
  bus.up = true;
  queue.Flush();
  EXPECT_EQ(bus.sent, Numbered(1, 7));
}

TEST(PendingReports, WaitsForTheReceiversEvenWhenTheBusTakesEvents) {
  FakeBus bus;
  auto queue = bus.Queue(10);
  bus.receivers_ready = false;
  queue.Send("1");
  queue.Send("2");
  queue.Flush();
  EXPECT_TRUE(bus.sent.empty());
  EXPECT_EQ(bus.attempts, 0);  // no connection is even tried
  bus.receivers_ready = true;
  queue.Send("3");
  EXPECT_EQ(bus.sent, Numbered(1, 3));
}

TEST(PendingReports, DropsTheOldestWhenFullWithOneWarningPerOutage) {
  testsupport::LogCapture log;
  FakeBus bus;
  auto queue = bus.Queue(3);

  bus.up = false;
  for (int i = 1; i <= 10; ++i) queue.Send(std::to_string(i));
  EXPECT_EQ(queue.Size(), 3u);
  bus.up = true;
  queue.Flush();
  EXPECT_EQ(bus.sent, Numbered(8, 10));

  // A second outage warns again, once.
  bus.up = false;
  for (int i = 11; i <= 20; ++i) queue.Send(std::to_string(i));
  bus.up = true;
  queue.Send("21");
  EXPECT_EQ(bus.sent, (std::vector<std::string>{"8", "9", "10", "18", "19", "20", "21"}));

  std::vector<std::string> warnings;
  for (const auto& record : log.Records())
    if (record.severity == "WARN ") warnings.push_back(record.message);
  EXPECT_EQ(warnings, (std::vector<std::string>(
                          2, "Bus away: more than 3 readings waiting, dropping the oldest")));
}

TEST(PendingReports, RetriesArePacedWhileTheBusIsAway) {
  FakeBus bus;
  auto queue = bus.Queue(1000, 200ms);
  bus.up = false;
  queue.Send("1");
  EXPECT_EQ(bus.attempts, 1);
  // The message thread flushes every 10 ms, readings keep coming: no new
  // attempt before the pause is over.
  for (int i = 2; i <= 20; ++i) {
    queue.Send(std::to_string(i));
    queue.Flush();
  }
  EXPECT_EQ(bus.attempts, 1);
  std::this_thread::sleep_for(250ms);
  bus.up = true;
  queue.Flush();
  EXPECT_EQ(bus.sent, Numbered(1, 20));
}

}  // namespace
