#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "queue/thread_safe_queue.h"

// The readings of one sensor type of one node that wait for the next upload.
// At most one reading per minute of reading time is admitted. `last_ts` is
// guarded by the Reporter's mutex.
class DataQueue {
 public:
  explicit DataQueue(std::string sensor_type) : name(std::move(sensor_type)) {}

  // Admits a copy of `reading` when its "ts" is more than 59 s after the last
  // admitted one (unsigned 32-bit difference, so a clock going back is
  // admitted too). A reading without "ts" is logged and dropped. Throws
  // std::invalid_argument when "ts" is not a number or is out of range.
  // Returns whether the reading was admitted.
  bool UpdateQueue(nlohmann::json& reading);

  const std::string name;
  uint32_t last_ts = 0;
  queue::ThreadSafeQueue<nlohmann::json> pending;
};

// "ts" as unsigned 32-bit seconds: integers keep their low 32 bits, a
// floating-point number in [0, 2^32) is truncated. Anything else throws
// std::invalid_argument.
uint32_t ReadingTime(const nlohmann::json& ts);
