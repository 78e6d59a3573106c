#include "presence.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "ipc/compact.h"

namespace {

constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

struct SensorClass {
  const char* type;
  const char* device_class;
  const char* unit;
};

// Sensor types of the frame decoding whose quantity Home Assistant knows.
// The others get neither a device class nor a unit.
constexpr SensorClass kSensorClasses[] = {
    {"AT", "temperature", "\xc2\xb0" "C"},
    {"RH", "humidity", "%"},
    {"LX", "illuminance", "lx"},
    {"AP", "atmospheric_pressure", "hPa"},
    {"CD", "carbon_dioxide", "ppm"},
    {"PM_1_0", "pm1", "\xc2\xb5g/m\xc2\xb3"},
    {"PM_2_5", "pm25", "\xc2\xb5g/m\xc2\xb3"},
    {"PM_10", "pm10", "\xc2\xb5g/m\xc2\xb3"},
};

// A topic level and an id Home Assistant accepts: [A-Za-z0-9_-].
std::string IdText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  }
  return out;
}

}  // namespace

Presence::Presence(Options options, PublishFunction publish, LookupFunction lookup)
    : options_(std::move(options)), publish_(std::move(publish)), lookup_(std::move(lookup)) {}

std::string Presence::NodeOf(const std::string& reading_key) {
  const size_t at = reading_key.rfind('_');
  if (at == std::string::npos || at == 0 || at + 1 == reading_key.size()) return reading_key;
  for (size_t i = at + 1; i < reading_key.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(reading_key[i]))) return reading_key;
  }
  return reading_key.substr(0, at);
}

std::string Presence::GatewayStatusTopic(const std::string& client_id) {
  return "kelvora/gateway/" + client_id + "/status";
}

std::string Presence::NodeStatusTopic(const std::string& node) { return "kelvora/" + node + "/status"; }

std::string Presence::ConfigTopic(const std::string& reading_key, const std::string& sensor_type) const {
  return options_.prefix + "/sensor/kelvora_" + IdText(reading_key) + "/" + IdText(sensor_type) + "/config";
}

std::string Presence::Config(const std::string& reading_key, const std::string& sensor_type) const {
  const std::string node = NodeOf(reading_key);
  const auto found = nodes_.find(node);
  const NodeInfo info = found == nodes_.end() ? NodeInfo{} : found->second.info;

  nlohmann::json device = {
      {"identifiers", {"kelvora_" + IdText(node)}},
      {"name", info.name.empty() ? node : info.name},
      {"via_device", "kelvora_" + IdText(options_.client_id)},
  };
  if (!info.version.empty()) device["sw_version"] = info.version;

  std::string name = sensor_type;
  if (reading_key != node) name += " " + reading_key.substr(node.size() + 1);
  nlohmann::json config = {
      {"availability",
       {{{"topic", GatewayStatusTopic(options_.client_id)}}, {{"topic", NodeStatusTopic(node)}}}},
      {"availability_mode", "all"},
      {"device", device},
      {"expire_after", options_.timeout.count()},
      {"name", name},
      {"state_topic", "kelvora/" + reading_key + "/" + sensor_type},
      {"unique_id", "kelvora_" + IdText(reading_key) + "_" + IdText(sensor_type)},
      {"value_template", "{{ value_json.v }}"},
  };
  for (const SensorClass& sensor : kSensorClasses) {
    if (sensor_type != sensor.type) continue;
    config["device_class"] = sensor.device_class;
    config["unit_of_measurement"] = sensor.unit;
    config["state_class"] = "measurement";
  }
  return ipc::Compact(config);
}

void Presence::SendConfig(const std::string& reading_key, const std::string& sensor_type) {
  publish_({ConfigTopic(reading_key, sensor_type), Config(reading_key, sensor_type), 1, true});
}

void Presence::Reading(const std::string& reading_key, const std::string& sensor_type,
                       Clock::time_point now) {
  if (!options_.availability && !options_.discovery) return;
  const std::string node_id = NodeOf(reading_key);
  Node& node = nodes_[node_id];
  node.last_reading = now;
  if (options_.availability && !node.online) {
    publish_({NodeStatusTopic(node_id), kOnline, 1, true});
    node.online = true;
  }
  if (!options_.discovery || !node.sensors.emplace(reading_key, sensor_type).second) return;
  if (!node.looked_up && lookup_) {
    node.info = lookup_(node_id);
    node.looked_up = true;
  }
  SendConfig(reading_key, sensor_type);
}

void Presence::Expire(Clock::time_point now) {
  if (!options_.availability) return;
  for (auto& [id, node] : nodes_) {
    if (node.online && now - node.last_reading > options_.timeout) {
      publish_({NodeStatusTopic(id), kOffline, 1, true});
      node.online = false;
    }
  }
}

Presence::Clock::time_point Presence::NextExpiry() const {
  Clock::time_point next = Clock::time_point::max();
  if (!options_.availability) return next;
  for (const auto& entry : nodes_) {
    // Expire marks a node once its silence is longer than the timeout.
    if (entry.second.online) next = std::min(next, entry.second.last_reading + options_.timeout + Clock::duration(1));
  }
  return next;
}

void Presence::Removed(const std::string& node_id) {
  const auto found = nodes_.find(node_id);
  if (found == nodes_.end()) return;
  if (options_.discovery) {
    // An empty retained message removes the record.
    for (const auto& [key, type] : found->second.sensors) publish_({ConfigTopic(key, type), "", 1, true});
  }
  if (options_.availability && found->second.online) publish_({NodeStatusTopic(node_id), kOffline, 1, true});
  nodes_.erase(found);
}

void Presence::Rediscover() {
  if (!options_.discovery) return;
  for (const auto& [id, node] : nodes_) {
    for (const auto& [key, type] : node.sensors) SendConfig(key, type);
  }
}
