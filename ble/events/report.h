#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

// Sends one "kelvora.report" event {"data", "device_id", "sensor_type"}.
// `device_id` is the reading key, `data` the reading without "k". While the
// bus is away the event is kept and sent later, in order. Called from one
// thread only.
void SendMQTTData(const std::string& device_id, const std::string& sensor_type,
                  const nlohmann::json& data);
// Sends the kept events once the bus is back; called on every pass of the
// thread that calls SendMQTTData.
void FlushMQTTData();
// When FlushMQTTData has readings to try again (max: none are kept).
std::chrono::steady_clock::time_point MQTTDataDue();
