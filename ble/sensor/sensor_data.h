#pragma once

#include <cstdint>
#include <tuple>

#include <nlohmann/json.hpp>

// Length of one sensor frame as a node notifies it.
constexpr size_t kSensorFrameSize = 11;

// Decodes one 11-byte sensor frame into the reading {"k", "ts", "v"} and the
// frame's sensor index (byte 1, 0..255). Reads bytes 0..10 of `frame` and no
// more. A frame whose type id has no name gives a null reading (after an
// error record); the caller must not pass that on.
std::tuple<nlohmann::json, int> SensorDataToJson(const uint8_t* frame);
