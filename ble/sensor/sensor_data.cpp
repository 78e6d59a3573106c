#include "sensor/sensor_data.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "log/log.h"

namespace {

using json = nlohmann::json;

const std::unordered_map<int32_t, std::string> SensorTypeName = {
    {1, "DT"},      {2, "AT"},      {3, "RH"},     {4, "LX"},  {5, "AP"},  {6, "NL"},
    {7, "CM"},      {8, "CD"},      {9, "ECD"},    {10, "TV"}, {11, "PM_1_0"},
    {12, "PM_2_5"}, {13, "PM_10"},  {14, "PS"},    {15, "MS"}, {16, "PH"}, {17, "EC"},
    {18, "CI"},     {19, "VI"},     {20, "SD"},    {21, "PI"}, {22, "PO"},
};

enum ValueKind : uint8_t { kUnsigned = 0, kSigned = 1, kFloat = 2 };

// Little-endian, byte by byte: no alignment needed.
uint32_t ReadU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::tuple<json, int> SensorDataToJson(const uint8_t* frame) {
  json reading;
  const int index = frame[1];

  const auto name = SensorTypeName.find(static_cast<int32_t>(frame[0]));
  if (name == SensorTypeName.end()) {
    LOG_ERROR << "_Map_base::at";
    return {std::move(reading), index};
  }
  reading["k"] = name->second;

  const uint32_t raw = ReadU32(frame + 7);
  switch (frame[2]) {
    case kSigned:
      reading["v"] = static_cast<int64_t>(static_cast<int32_t>(raw));
      break;
    case kUnsigned:
      reading["v"] = static_cast<uint64_t>(raw);
      break;
    case kFloat: {
      float value;
      static_assert(sizeof value == sizeof raw, "single precision is 32 bits");
      std::memcpy(&value, &raw, sizeof value);
      reading["v"] = static_cast<double>(value);
      break;
    }
    default:
      break;
  }
  reading["ts"] = static_cast<uint64_t>(ReadU32(frame + 3));
  return {std::move(reading), index};
}
