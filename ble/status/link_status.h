#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// What the BLE daemon shows over ubus ("kelvora.ble" status and nodes):
// process-wide counters and one record per device id that has had a node.
// Every function is thread-safe and cheap: the records sit under one mutex
// held only to update or copy them, so a status call never waits for the
// bus and never holds up a reading.
namespace status {

using Clock = std::chrono::steady_clock;

enum class LinkState { kConnecting, kConnected, kIdentified, kAbsent };
const char* LinkStateName(LinkState state);

struct NodeRecord {
  std::string device_id;
  std::string name;
  std::string version;  // "1.2.3+45" once the node has identified itself
  std::string object_path;
  LinkState state = LinkState::kAbsent;
  int64_t connected_since = 0;  // Unix time; 0: not connected
  int64_t last_reading = 0;     // Unix time of the last sensor frame; 0: none
  Clock::time_point last_reading_steady{};
  // Start of the current silence: the last frame, or the connection when
  // none came since.
  Clock::time_point quiet_since{};
  int64_t last_clock_set = 0;  // Unix time written by the last time-set frame
  bool has_rssi = false;
  int rssi = 0;
  uint64_t readings = 0;
  uint64_t reconnects = 0;        // connection attempts after the first one
  uint64_t connect_retries = 0;   // failed attempts retried after a back-off
  uint64_t silent_reconnects = 0;
  uint64_t silent_removals = 0;
  // Steps of the silent-node ladder taken since the last frame (0, 1, 2).
  int silent_step = 0;
};

struct Counters {
  std::atomic<uint64_t> readings_decoded{0};
  std::atomic<uint64_t> dropped_short{0};         // sensor frame under 11 bytes
  std::atomic<uint64_t> dropped_unknown_type{0};  // sensor type id not known
  std::atomic<uint64_t> dropped_no_type{0};       // reading without a sensor type
  std::atomic<uint64_t> events_sent{0};
  std::atomic<uint64_t> send_failures{0};  // attempts while the bus was away
  std::atomic<uint64_t> connect_retries{0};
  std::atomic<uint64_t> connect_timeouts{0};
  std::atomic<uint64_t> reconnects{0};
  std::atomic<uint64_t> silent_reconnects{0};
  std::atomic<uint64_t> silent_removals{0};
  std::atomic<uint64_t> discovery_restarts{0};
  std::atomic<uint64_t> power_cycles{0};
  std::atomic<bool> adapter_present{false};
  std::atomic<bool> adapter_powered{false};
  std::atomic<bool> discovering{false};
  std::atomic<bool> clock_trusted{false};
  std::atomic<int64_t> clock_trusted_since{0};
};

Counters& Count();

// Called once at start: the version text and the start of the uptime.
void Start(const std::string& version);

// A node session for `device_id` begins (state connecting); counters of an
// earlier session of that id carry on.
void NodeCreated(const std::string& device_id, const std::string& object_path);
// The session has gone (deleted or dropped): state absent.
void NodeGone(const std::string& device_id);
void SetState(const std::string& device_id, LinkState state);
void SetIdentity(const std::string& device_id, const std::string& name, const std::string& version);
// A sensor frame came (the node is alive); `decoded` when it gave a reading.
void SensorFrame(const std::string& device_id, bool decoded);
void Rssi(const std::string& device_id, int rssi);
void ClockSet(const std::string& device_id, int64_t unix_time);
void Reconnect(const std::string& device_id);
void ConnectRetry(const std::string& device_id);
// The silent-node ladder took `step` (1 reconnect, 2 removal).
void SilentStep(const std::string& device_id, int step);

std::vector<NodeRecord> Nodes();

// The replies of the ubus methods, compact JSON objects.
std::string StatusJson();
std::string NodesJson();

// Clears every record and counter (tests).
void Reset();

}  // namespace status
