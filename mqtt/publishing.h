#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "bridge.h"
#include "mqtt_client.h"
#include "mqtt_settings.h"
#include "outbox.h"
#include "presence.h"

// The client's settings from the daemon's.
ClientOptions ClientOptionsFrom(const MqttSettings& settings, const std::string& client_id);

// What the main loop does with its messages: readings go out in order
// through the forwarder, after the availability and discovery records that
// they cause. Main thread, but for Status (any thread).
class Publishing : public MessageSink {
 public:
  Publishing(MQTT& client, const MqttSettings& settings, std::string client_id, std::string version);

  void Reading(const std::string& device_id, const std::string& sensor_type, const std::string& topic,
               const std::string& body) override;
  void NodeRemoved(const std::string& device_id) override;
  // The rest of a loop pass: drains the queue, answers Home Assistant's
  // birth, marks silent nodes offline. Returns when it has work again at the
  // latest, unless the client wakes the loop before.
  std::chrono::steady_clock::time_point Tick();
  // The reply of `ubus call kelvora.mqtt status`.
  std::string Status() const;

 private:
  MQTT& client_;
  const MqttSettings& settings_;
  const std::string client_id_;
  const std::string version_;
  const std::chrono::steady_clock::time_point started_;
  Forwarder forwarder_;
  Presence presence_;
  std::atomic<uint64_t> received_{0};
};
