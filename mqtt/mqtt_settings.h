#pragma once

#include <string>

#include "uci/options.h"

// Broker settings from UCI package tavrin, section mqtt; read once at start.
class MqttSettings {
 public:
  // Every option at its default.
  MqttSettings();

  const bool& enable() const { return enable_; }
  const std::string& host() const { return host_; }
  const int& port() const { return port_; }

  const std::string& username() const { return username_; }
  const std::string& password() const { return password_; }
  bool tls() const { return tls_; }
  // Empty: the system's CA store.
  const std::string& ca_file() const { return ca_file_; }
  const std::string& cert_file() const { return cert_file_; }
  const std::string& key_file() const { return key_file_; }
  bool tls_verify() const { return tls_verify_; }
  // Empty until set: the client id derived from the gateway is used then.
  const std::string& client_id() const { return client_id_; }
  int keepalive() const { return keepalive_; }
  int qos() const { return qos_; }
  // Retained gateway and node status topics.
  bool availability() const { return availability_ || ha_discovery_; }
  // Seconds without a reading after which a node is "offline".
  int node_timeout() const { return node_timeout_; }
  bool ha_discovery() const { return ha_discovery_; }
  const std::string& ha_prefix() const { return ha_prefix_; }

  // Takes the options from the JSON text of a "uci get" reply for the
  // section. Options are matched by the FNV-1a hash of their names. A reply
  // that is not JSON, or an option whose value is not a string or does not
  // convert, leaves the value as it was and writes an error record.
  void Apply(const char* reply);

  // The options of section mqtt.
  static const uci::OptionTable<MqttSettings> kOptions;

 private:
  static const uci::Option<MqttSettings> kRows[];

  bool enable_;
  std::string host_;
  int port_;
  std::string username_;
  std::string password_;
  bool tls_;
  std::string ca_file_;
  std::string cert_file_;
  std::string key_file_;
  bool tls_verify_;
  std::string client_id_;
  int keepalive_;
  int qos_;
  bool availability_;
  int node_timeout_;
  bool ha_discovery_;
  std::string ha_prefix_;
};

// The client id used when the option is not set: "kelvora-" and the first
// hardware address of a network interface (12 hex digits), or the host name
// when there is none. Stable across restarts.
std::string DefaultClientId();

// The process-wide settings.
MqttSettings& GetMqttSettings();

// Fills GetMqttSettings() from UCI over ubus; a failed call keeps the defaults.
void NVRAMInit();
