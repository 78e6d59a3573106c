#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "outbox.h"

// What the BLE daemon knows of a node from its info frame.
struct NodeInfo {
  std::string name;
  std::string version;
};

// Availability of the nodes and their Home Assistant discovery records,
// derived from the readings that pass through. Main thread only.
class Presence {
 public:
  using Clock = std::chrono::steady_clock;
  using PublishFunction = std::function<void(Outgoing)>;
  // Name and version of a node; empty members when unknown.
  using LookupFunction = std::function<NodeInfo(const std::string& node)>;

  struct Options {
    bool availability = false;
    bool discovery = false;
    std::string prefix = "homeassistant";
    std::chrono::seconds timeout{600};
    std::string client_id;
    // The daemon's installed version; empty when unknown.
    std::string version;
  };

  Presence(Options options, PublishFunction publish, LookupFunction lookup);

  // A reading of `reading_key` (device id, maybe "_" and an index) arrived
  // with the compact "data" `body`; called before the reading itself is
  // published.
  void Reading(const std::string& reading_key, const std::string& sensor_type, Clock::time_point now,
               const std::string& body);
  // Marks nodes without a reading for longer than the timeout "offline".
  void Expire(Clock::time_point now);
  // When Expire has something to do at the earliest (max: never, as it stands).
  Clock::time_point NextExpiry() const;
  // The node left the whitelist: its discovery records are removed.
  void Removed(const std::string& node);
  // The gateway's own discovery record (at start).
  void Announce();
  // Home Assistant came (back) online: every discovery record again.
  void Rediscover();

  // The node of a reading key: without a trailing "_" and decimal index.
  static std::string NodeOf(const std::string& reading_key);
  static std::string GatewayStatusTopic(const std::string& client_id);
  static std::string NodeStatusTopic(const std::string& node);
  std::string ConfigTopic(const std::string& reading_key, const std::string& sensor_type) const;
  std::string Config(const std::string& reading_key, const std::string& sensor_type) const;
  std::string GatewayConfigTopic() const;
  std::string GatewayConfig() const;

  // Home Assistant's expire_after for a type observed every `interval`
  // (zero: not known yet, no expiry).
  static std::chrono::seconds ExpireAfter(std::chrono::seconds interval);

 private:
  struct Sensor {
    // The last reading while the node stayed online; none after it went offline.
    std::optional<Clock::time_point> last;
    // The reporting interval observed; zero until known.
    std::chrono::seconds interval{0};
    // The value of the reading that sent the record was a number.
    bool numeric = false;
  };
  struct Node {
    Clock::time_point last_reading;
    bool online = false;
    bool looked_up = false;
    NodeInfo info;
    // By (reading key, sensor type).
    std::map<std::pair<std::string, std::string>, Sensor> sensors;
  };

  void SendConfig(const std::string& reading_key, const std::string& sensor_type);

  Options options_;
  PublishFunction publish_;
  LookupFunction lookup_;
  std::map<std::string, Node> nodes_;
};

// Name and version of `node` from `ubus call kelvora.ble nodes`; empty
// members when the BLE daemon does not answer or does not know the node.
NodeInfo UBUSNodeInfo(const std::string& node);
// The same from the JSON text of that reply.
NodeInfo NodeInfoFromReply(const char* reply, const std::string& node);
