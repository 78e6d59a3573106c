#include "presence.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <nlohmann/json.hpp>

#include "ipc/compact.h"

namespace {

constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

constexpr const char* kOrigin = "kelvora-mqtt-app";
// The package's URL, set by the build.
constexpr const char* kSupportUrl = KELVORA_URL;
constexpr const char* kManufacturer = "Kelvora";
constexpr const char* kGatewayModel = "Gateway";
constexpr const char* kNodeModel = "Sensor node";

// A type's readings expire after this many reporting intervals, never sooner
// than the floor.
constexpr int kExpiryIntervals = 3;
constexpr std::chrono::seconds kExpiryFloor{30};

struct SensorClass {
  const char* type;
  const char* device_class;
  const char* unit;
  // For Home Assistant's own name where one is needed (an indexed sensor).
  const char* name;
  int precision;
};

// Sensor types of the frame decoding whose quantity Home Assistant knows.
// The others get neither a device class nor a unit and keep their code as name.
constexpr SensorClass kSensorClasses[] = {
    {"AT", "temperature", "\xc2\xb0" "C", "Temperature", 1},
    {"RH", "humidity", "%", "Humidity", 0},
    {"LX", "illuminance", "lx", "Illuminance", 0},
    {"AP", "atmospheric_pressure", "hPa", "Pressure", 1},
    {"CD", "carbon_dioxide", "ppm", "CO2", 0},
    {"PM_1_0", "pm1", "\xc2\xb5g/m\xc2\xb3", "PM1", 0},
    {"PM_2_5", "pm25", "\xc2\xb5g/m\xc2\xb3", "PM2.5", 0},
    {"PM_10", "pm10", "\xc2\xb5g/m\xc2\xb3", "PM10", 0},
};

const SensorClass* Known(const std::string& sensor_type) {
  for (const SensorClass& sensor : kSensorClasses) {
    if (sensor_type == sensor.type) return &sensor;
  }
  return nullptr;
}

// The reading's "v" is a number.
bool Numeric(const std::string& body) {
  const nlohmann::json data = nlohmann::json::parse(body, nullptr, false);
  if (!data.is_object()) return false;
  const auto value = data.find("v");
  return value != data.end() && value->is_number();
}

// A topic level and an id Home Assistant accepts: [A-Za-z0-9_-].
std::string IdText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  }
  return out;
}

std::string GatewayId(const std::string& client_id) { return "kelvora_" + IdText(client_id); }

nlohmann::json Origin(const std::string& version) {
  nlohmann::json origin = {{"name", kOrigin}};
  if (!version.empty()) origin["sw_version"] = version;
  if (*kSupportUrl != '\0') origin["support_url"] = kSupportUrl;
  return origin;
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
  Sensor sensor;
  if (found != nodes_.end()) {
    const auto seen = found->second.sensors.find({reading_key, sensor_type});
    if (seen != found->second.sensors.end()) sensor = seen->second;
  }

  nlohmann::json device = {
      {"identifiers", {"kelvora_" + IdText(node)}},
      {"manufacturer", kManufacturer},
      {"model", kNodeModel},
      {"name", info.name.empty() ? node : info.name},
      {"via_device", GatewayId(options_.client_id)},
  };
  if (!info.version.empty()) device["sw_version"] = info.version;

  nlohmann::json config = {
      {"availability",
       {{{"topic", GatewayStatusTopic(options_.client_id)}}, {{"topic", NodeStatusTopic(node)}}}},
      {"availability_mode", "all"},
      {"device", device},
      {"origin", Origin(options_.version)},
      {"state_topic", "kelvora/" + reading_key + "/" + sensor_type},
      {"unique_id", "kelvora_" + IdText(reading_key) + "_" + IdText(sensor_type)},
      {"value_template", "{{ value_json.v }}"},
  };
  const std::string index = reading_key == node ? "" : reading_key.substr(node.size() + 1);
  const SensorClass* known = Known(sensor_type);
  if (known != nullptr) {
    config["device_class"] = known->device_class;
    config["unit_of_measurement"] = known->unit;
    config["suggested_display_precision"] = known->precision;
  }
  if (known != nullptr || sensor.numeric) config["state_class"] = "measurement";
  // Without a name Home Assistant names the sensor after its device class;
  // a second sensor of a kind on the node needs its index.
  if (known == nullptr || !index.empty()) {
    config["name"] = (known != nullptr ? known->name : sensor_type) + (index.empty() ? "" : " " + index);
  }
  const std::chrono::seconds expiry = ExpireAfter(sensor.interval);
  if (expiry.count() > 0) config["expire_after"] = expiry.count();
  return ipc::Compact(config);
}

std::string Presence::GatewayConfigTopic() const {
  return options_.prefix + "/binary_sensor/" + GatewayId(options_.client_id) + "/status/config";
}

std::string Presence::GatewayConfig() const {
  nlohmann::json device = {
      {"identifiers", {GatewayId(options_.client_id)}},
      {"manufacturer", kManufacturer},
      {"model", kGatewayModel},
      {"name", options_.client_id},
  };
  if (!options_.version.empty()) device["sw_version"] = options_.version;
  const nlohmann::json config = {
      {"device", device},
      {"device_class", "connectivity"},
      {"origin", Origin(options_.version)},
      {"payload_off", kOffline},
      {"payload_on", kOnline},
      {"state_topic", GatewayStatusTopic(options_.client_id)},
      {"unique_id", GatewayId(options_.client_id) + "_status"},
  };
  return ipc::Compact(config);
}

std::chrono::seconds Presence::ExpireAfter(std::chrono::seconds interval) {
  if (interval.count() <= 0) return std::chrono::seconds(0);
  return std::max(kExpiryFloor, kExpiryIntervals * interval);
}

void Presence::SendConfig(const std::string& reading_key, const std::string& sensor_type) {
  publish_({ConfigTopic(reading_key, sensor_type), Config(reading_key, sensor_type), 1, true});
}

void Presence::Reading(const std::string& reading_key, const std::string& sensor_type,
                       Clock::time_point now, const std::string& body) {
  if (!options_.availability && !options_.discovery) return;
  const std::string node_id = NodeOf(reading_key);
  Node& node = nodes_[node_id];
  node.last_reading = now;
  if (options_.availability && !node.online) {
    publish_({NodeStatusTopic(node_id), kOnline, 1, true});
    node.online = true;
  }
  if (!options_.discovery) return;
  const auto [entry, added] = node.sensors.try_emplace({reading_key, sensor_type});
  Sensor& sensor = entry->second;
  bool changed = added;
  if (sensor.last) {
    // The interval grows to a gap more than half as long again, to the
    // nearest second; readings that come together (under half a second
    // apart) do not count.
    const auto gap = std::chrono::round<std::chrono::seconds>(now - *sensor.last);
    if (gap.count() > 0 && 2 * gap > 3 * sensor.interval) {
      changed = ExpireAfter(gap) != ExpireAfter(sensor.interval);
      sensor.interval = gap;
    }
  }
  sensor.last = now;
  if (!changed) return;
  sensor.numeric = Numeric(body);
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
      // A gap that spans the outage is no reporting interval.
      for (auto& entry : node.sensors) entry.second.last.reset();
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
    for (const auto& entry : found->second.sensors) {
      publish_({ConfigTopic(entry.first.first, entry.first.second), "", 1, true});
    }
  }
  if (options_.availability && found->second.online) publish_({NodeStatusTopic(node_id), kOffline, 1, true});
  nodes_.erase(found);
}

void Presence::Announce() {
  if (options_.discovery) publish_({GatewayConfigTopic(), GatewayConfig(), 1, true});
}

void Presence::Rediscover() {
  if (!options_.discovery) return;
  Announce();
  for (const auto& entry : nodes_) {
    for (const auto& sensor : entry.second.sensors) SendConfig(sensor.first.first, sensor.first.second);
  }
}
