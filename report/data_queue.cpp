#include "data_queue.h"

#include <stdexcept>

#include "log/log.h"

uint32_t ReadingTime(const nlohmann::json& ts) {
  switch (ts.type()) {
    case nlohmann::json::value_t::number_unsigned:
      return static_cast<uint32_t>(ts.get<uint64_t>());
    case nlohmann::json::value_t::number_integer:
      return static_cast<uint32_t>(ts.get<int64_t>());
    case nlohmann::json::value_t::number_float: {
      const double seconds = ts.get<double>();
      if (!(seconds >= 0.0 && seconds < 4294967296.0)) {
        throw std::invalid_argument("ts out of range : " + ts.dump());
      }
      return static_cast<uint32_t>(seconds);
    }
    default:
      throw std::invalid_argument(std::string("type must be number, but is ") + ts.type_name());
  }
}

bool DataQueue::UpdateQueue(const nlohmann::json& reading) {
  uint32_t ts = 0;
  try {
    ts = ReadingTime(reading.at("ts"));
  } catch (const nlohmann::json::out_of_range& e) {
    LOG_ERROR << e.what();
    return false;
  } catch (const nlohmann::json::type_error& e) {
    // at() on something that is not an object
    throw std::invalid_argument(e.what());
  }
  const uint32_t delta = ts - last_ts;
  if (delta <= 59) return false;
  LOG_VERB << "delta " << delta;
  last_ts = ts;
  return true;
}
