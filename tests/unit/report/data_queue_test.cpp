#include "data_queue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "log_capture.h"

namespace {

using nlohmann::json;

// Offers readings with these "ts" and returns the "ts" of those admitted.
std::vector<uint32_t> Admitted(DataQueue& queue, const std::vector<json>& times) {
  std::vector<uint32_t> admitted;
  for (const auto& ts : times) {
    json reading = {{"k", "PM_2_5"}, {"ts", ts}, {"v", 1}};
    if (queue.UpdateQueue(reading)) admitted.push_back(reading.at("ts").get<uint32_t>());
  }
  return admitted;
}

TEST(DataQueue, AdmitsOneReadingPerMinuteOfReadingTime) {
  DataQueue queue("PM_2_5");
  EXPECT_EQ(Admitted(queue, {100, 130, 160, 161}), (std::vector<uint32_t>{100, 160}));
  EXPECT_EQ(queue.last_ts, 160u);
}

TEST(DataQueue, FirstReadingNeedsSixtySecondsFromZero) {
  DataQueue queue("T");
  EXPECT_EQ(Admitted(queue, {0, 30, 59}), std::vector<uint32_t>{});
  EXPECT_EQ(queue.last_ts, 0u);
  EXPECT_EQ(Admitted(queue, {60, 119, 120}), (std::vector<uint32_t>{60, 120}));
}

TEST(DataQueue, ClockGoingBackIsAdmittedAndMovesLastTsBack) {
  DataQueue queue("T");
  EXPECT_EQ(Admitted(queue, {1000, 500, 530, 560}), (std::vector<uint32_t>{1000, 500, 560}));
  EXPECT_EQ(queue.last_ts, 560u);
}

TEST(DataQueue, TimeConversions) {
  // Integers keep their low 32 bits, floats are truncated.
  EXPECT_EQ(ReadingTime(json(160.9)), 160u);
  EXPECT_EQ(ReadingTime(json(-1)), 4294967295u);
  EXPECT_EQ(ReadingTime(json(4294967396LL)), 100u);
  EXPECT_EQ(ReadingTime(json(4294967295u)), 4294967295u);
  for (const json& bad : {json("100"), json(true), json(nullptr), json::array({1}), json::object(),
                          json(-0.5), json(4294967296.0), json(1e300)}) {
    EXPECT_THROW(ReadingTime(bad), std::invalid_argument) << bad.dump();
  }
}

TEST(DataQueue, ReadingWithoutTsIsLoggedAndDropped) {
  testsupport::LogCapture log;
  DataQueue queue("T");
  json admitted = {{"ts", 100}};
  ASSERT_TRUE(queue.UpdateQueue(admitted));

  json no_ts = {{"k", "T"}, {"v", 3}};
  EXPECT_FALSE(queue.UpdateQueue(no_ts));
  EXPECT_EQ(queue.last_ts, 100u);
  EXPECT_EQ(log.CountContaining("ERROR", "key 'ts' not found"), 1u);

  json text_ts = {{"ts", "200"}};
  EXPECT_THROW(queue.UpdateQueue(text_ts), std::invalid_argument);
  EXPECT_EQ(queue.last_ts, 100u);
}

}  // namespace
