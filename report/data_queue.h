#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// The thinning state of one sensor type of one node: at most one reading per
// minute of reading time is admitted. Guarded by the Reporter's mutex.
class DataQueue {
 public:
  explicit DataQueue(std::string sensor_type) : name(std::move(sensor_type)) {}

  // Admits `reading` when its "ts" is more than 59 s after the last
  // admitted one (unsigned 32-bit difference, so a clock going back is
  // admitted too) and moves `last_ts` to it. A reading without "ts" is
  // logged and not admitted. Throws std::invalid_argument when "ts" is not
  // a number or is out of range.
  bool UpdateQueue(const nlohmann::json& reading);

  const std::string name;
  uint32_t last_ts = 0;
};

// "ts" as unsigned 32-bit seconds: integers keep their low 32 bits, a
// floating-point number in [0, 2^32) is truncated. Anything else throws
// std::invalid_argument.
uint32_t ReadingTime(const nlohmann::json& ts);
