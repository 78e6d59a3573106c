#pragma once

#include <cstdint>
#include <string>

#include "mqtt_client.h"

// What `ubus call kelvora.mqtt status` shows.
struct StatusView {
  std::string version;
  int64_t uptime = 0;
  bool enabled = false;
  std::string broker;
  std::string client_id;
  ConnectionState connection;
  uint64_t received = 0;
  uint64_t published = 0;
  uint64_t failed = 0;
  uint64_t queued = 0;
  uint64_t dropped = 0;
};

// The reply: a compact JSON object, members in ascending order.
std::string StatusJson(const StatusView& view);
