#include "status/link_status.h"

#include <ctime>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "ipc/compact.h"
#include "version/version.h"

namespace status {

namespace {

using json = nlohmann::json;

std::mutex g_lock;
std::map<std::string, NodeRecord> g_nodes;  // by device id
std::string g_version;
Clock::time_point g_started = Clock::now();

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// The record of `device_id`, made on first use; g_lock held.
NodeRecord& Record(const std::string& device_id) {
  NodeRecord& record = g_nodes[device_id];
  record.device_id = device_id;
  return record;
}

template <typename Change>
void Update(const std::string& device_id, Change change) {
  std::lock_guard<std::mutex> lock(g_lock);
  change(Record(device_id));
}

json Optional(int64_t unix_time) { return unix_time ? json(unix_time) : json(nullptr); }

}  // namespace

const char* LinkStateName(LinkState state) {
  switch (state) {
    case LinkState::kConnecting: return "connecting";
    case LinkState::kConnected: return "connected";
    case LinkState::kIdentified: return "identified";
    case LinkState::kAbsent: return "absent";
  }
  return "absent";
}

Counters& Count() {
  static Counters counters;
  return counters;
}

void Start(const std::string& version) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_version = logging::VersionWithoutLineEnd(version);
  g_started = Clock::now();
}

void NodeCreated(const std::string& device_id, const std::string& object_path) {
  Update(device_id, [&](NodeRecord& r) {
    r.object_path = object_path;
    r.state = LinkState::kConnecting;
    r.connected_since = 0;
    r.silent_step = 0;
  });
}

void NodeGone(const std::string& device_id) {
  Update(device_id, [](NodeRecord& r) {
    r.state = LinkState::kAbsent;
    r.connected_since = 0;
  });
}

void SetState(const std::string& device_id, LinkState state) {
  Update(device_id, [&](NodeRecord& r) {
    if (state == LinkState::kConnected && r.state != LinkState::kConnected && r.state != LinkState::kIdentified) {
      r.connected_since = Now();
      r.quiet_since = Clock::now();
    }
    if (state == LinkState::kConnecting || state == LinkState::kAbsent) r.connected_since = 0;
    // An info frame after the link is up; a late one of a dropped link
    // does not make the node connected again.
    if (state == LinkState::kIdentified && r.state != LinkState::kConnected && r.state != LinkState::kIdentified) return;
    r.state = state;
  });
}

void SetIdentity(const std::string& device_id, const std::string& name, const std::string& version) {
  Update(device_id, [&](NodeRecord& r) {
    r.name = name;
    r.version = version;
  });
}

void SensorFrame(const std::string& device_id, bool decoded) {
  const auto now = Clock::now();
  const int64_t wall = Now();
  if (decoded) Count().readings_decoded++;
  Update(device_id, [&](NodeRecord& r) {
    if (decoded) {
      ++r.readings;
      r.last_reading = wall;
      r.last_reading_steady = now;
    }
    r.quiet_since = now;
    r.silent_step = 0;
  });
}

void Rssi(const std::string& device_id, int rssi) {
  Update(device_id, [&](NodeRecord& r) {
    r.has_rssi = true;
    r.rssi = rssi;
  });
}

void ClockSet(const std::string& device_id, int64_t unix_time) {
  Update(device_id, [&](NodeRecord& r) { r.last_clock_set = unix_time; });
}

void Reconnect(const std::string& device_id) {
  Count().reconnects++;
  Update(device_id, [](NodeRecord& r) { ++r.reconnects; });
}

void ConnectRetry(const std::string& device_id) {
  Count().connect_retries++;
  Update(device_id, [](NodeRecord& r) { ++r.connect_retries; });
}

void SilentStep(const std::string& device_id, int step) {
  (step == 1 ? Count().silent_reconnects : Count().silent_removals)++;
  Update(device_id, [&](NodeRecord& r) {
    r.silent_step = step;
    r.quiet_since = Clock::now();
    if (step == 1) {
      ++r.silent_reconnects;
    } else {
      ++r.silent_removals;
    }
  });
}

std::vector<NodeRecord> Nodes() {
  std::lock_guard<std::mutex> lock(g_lock);
  std::vector<NodeRecord> out;
  out.reserve(g_nodes.size());
  for (const auto& entry : g_nodes) out.push_back(entry.second);
  return out;
}

std::string StatusJson() {
  Counters& c = Count();
  std::string version;
  Clock::time_point started;
  size_t nodes = 0;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    version = g_version;
    started = g_started;
    for (const auto& entry : g_nodes) {
      if (entry.second.state != LinkState::kAbsent) ++nodes;
    }
  }
  json reply = json::object();
  reply["version"] = version;
  reply["uptime"] = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
  reply["adapter"] = {{"present", c.adapter_present.load()},
                      {"powered", c.adapter_powered.load()},
                      {"discovering", c.discovering.load()}};
  reply["clock_trusted"] = c.clock_trusted.load();
  reply["clock_trusted_since"] = Optional(c.clock_trusted_since.load());
  reply["nodes"] = nodes;
  reply["readings_decoded"] = c.readings_decoded.load();
  reply["dropped"] = {{"short_frame", c.dropped_short.load()},
                      {"unknown_type", c.dropped_unknown_type.load()},
                      {"no_sensor_type", c.dropped_no_type.load()}};
  reply["events_sent"] = c.events_sent.load();
  reply["send_failures"] = c.send_failures.load();
  reply["reconnects"] = c.reconnects.load();
  reply["recovery"] = {{"connect_retries", c.connect_retries.load()},
                       {"connect_timeouts", c.connect_timeouts.load()},
                       {"silent_reconnects", c.silent_reconnects.load()},
                       {"silent_removals", c.silent_removals.load()},
                       {"discovery_restarts", c.discovery_restarts.load()},
                       {"power_cycles", c.power_cycles.load()}};
  return ipc::Compact(reply);
}

std::string NodesJson() {
  const auto now = Clock::now();
  json list = json::array();
  for (const NodeRecord& r : Nodes()) {
    json node = json::object();
    node["device_id"] = r.device_id;
    node["name"] = r.name;
    node["version"] = r.version;
    node["object_path"] = r.object_path;
    node["state"] = LinkStateName(r.state);
    node["connected_since"] = Optional(r.connected_since);
    node["last_reading"] = Optional(r.last_reading);
    node["last_reading_age"] =
        r.last_reading ? json(std::chrono::duration_cast<std::chrono::seconds>(now - r.last_reading_steady).count())
                       : json(nullptr);
    node["readings"] = r.readings;
    node["reconnects"] = r.reconnects;
    node["connect_retries"] = r.connect_retries;
    node["silent_reconnects"] = r.silent_reconnects;
    node["silent_removals"] = r.silent_removals;
    node["rssi"] = r.has_rssi ? json(r.rssi) : json(nullptr);
    node["last_clock_set"] = Optional(r.last_clock_set);
    list.push_back(std::move(node));
  }
  json reply = json::object();
  reply["nodes"] = std::move(list);
  return ipc::Compact(reply);
}

void Reset() {
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_nodes.clear();
    g_version.clear();
    g_started = Clock::now();
  }
  Counters& c = Count();
  for (auto* counter : {&c.readings_decoded, &c.dropped_short, &c.dropped_unknown_type, &c.dropped_no_type,
                        &c.events_sent, &c.send_failures, &c.connect_retries, &c.connect_timeouts, &c.reconnects,
                        &c.silent_reconnects, &c.silent_removals, &c.discovery_restarts, &c.power_cycles}) {
    counter->store(0);
  }
  c.adapter_present = false;
  c.adapter_powered = false;
  c.discovering = false;
  c.clock_trusted = false;
  c.clock_trusted_since = 0;
}

}  // namespace status
