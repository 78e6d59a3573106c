#include "mqtt_settings.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <vector>

using uci::Declare;
using Type = uci::OptionType;
using S = MqttSettings;

// Numbers without a range (min > max) take any 32-bit text, kept modulo 2^32.
constexpr uci::Option<MqttSettings> MqttSettings::kRows[] = {
    Declare("enable", Type::kBinary, "0", &S::enable_),
    Declare("host", Type::kText, "0.0.0.0", &S::host_),
    Declare("port", Type::kWord, "1883", &S::port_, 1, 0),
    Declare("username", Type::kText, "", &S::username_),
    Declare("password", Type::kText, "", &S::password_),
    Declare("tls", Type::kBinary, "0", &S::tls_),
    Declare("ca_file", Type::kText, "", &S::ca_file_),
    Declare("cert_file", Type::kText, "", &S::cert_file_),
    Declare("key_file", Type::kText, "", &S::key_file_),
    Declare("tls_verify", Type::kBinary, "1", &S::tls_verify_),
    Declare("client_id", Type::kText, "", &S::client_id_),
    // The library refuses keep-alive intervals below 5 s; MQTT's field has 16 bits.
    Declare("keepalive", Type::kWord, "60", &S::keepalive_, 5, 65535),
    Declare("qos", Type::kWord, "0", &S::qos_, 0, 1),
    Declare("availability", Type::kBinary, "0", &S::availability_),
    Declare("node_timeout", Type::kWord, "600", &S::node_timeout_, 1, 86400),
    Declare("ha_discovery", Type::kBinary, "0", &S::ha_discovery_),
    Declare("ha_prefix", Type::kText, "homeassistant", &S::ha_prefix_),
};

constexpr uci::OptionTable<MqttSettings> MqttSettings::kOptions{MqttSettings::kRows, uci::NonString::kIgnored};

MqttSettings::MqttSettings() { kOptions.SetDefaults(*this); }

void MqttSettings::Apply(const char* reply) { kOptions.Take(reply, *this); }

std::string DefaultClientId() {
  std::vector<std::string> addresses;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", error)) {
    std::ifstream in(entry.path() / "address");
    std::string address;
    if (!std::getline(in, address)) continue;
    address.erase(std::remove(address.begin(), address.end(), ':'), address.end());
    if (address.size() == 12 && address != "000000000000") addresses.push_back(address);
  }
  if (!addresses.empty()) return "kelvora-" + *std::min_element(addresses.begin(), addresses.end());
  char name[HOST_NAME_MAX + 1] = {};
  gethostname(name, sizeof name - 1);
  std::string id = "kelvora-";
  // A topic level and a client id: no wildcards, no separators.
  for (const char* c = name; *c; ++c) id += (*c == '/' || *c == '+' || *c == '#') ? '_' : *c;
  return id;
}

namespace {
MqttSettings g_settings;
}  // namespace

MqttSettings& GetMqttSettings() { return g_settings; }
