#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Sends one "kelvora.report" event {"data", "device_id", "sensor_type"}.
// `device_id` is the reading key, `data` the reading without "k".
void SendMQTTData(const std::string& device_id, const std::string& sensor_type,
                  const nlohmann::json& data);
