#pragma once

#include <string>

// Broker settings from UCI package tavrin, section mqtt; read once at start.
class MqttSettings {
 public:
  const bool& enable() const { return enable_; }
  const std::string& host() const { return host_; }
  const int& port() const { return port_; }

  // Takes the options from the JSON text of a "uci get" reply for the
  // section. Options are matched by the FNV-1a hash of their names. A reply
  // that is not JSON, or an option whose value is not a string or does not
  // convert, leaves the value as it was and writes an error record.
  void Apply(const char* reply);

 private:
  bool enable_ = false;
  std::string host_ = "0.0.0.0";
  int port_ = 1883;
};

// The process-wide settings.
MqttSettings& GetMqttSettings();

// Fills GetMqttSettings() from UCI over ubus; a failed call keeps the defaults.
void NVRAMInit();
