#include "mqtt_settings.h"

#include <unistd.h>

#include <algorithm>
#include <boost/lexical_cast.hpp>
#include <climits>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "ipc/fnv.h"
#include "log/log.h"

enum class OptionType { kFlag, kText, kNumber };

struct MqttSettings::Option {
  const char* name;
  uint32_t key;
  OptionType type;
  const char* fallback;
  bool MqttSettings::*flag;
  std::string MqttSettings::*text;
  int MqttSettings::*number;
  // Accepted range of a number; min > max: any 32-bit text, kept modulo 2^32.
  long long min;
  long long max;
};

namespace {

using Type = OptionType;

constexpr uint32_t Key(const char* name) { return ipc::Fnv1a(name); }

// The names of the first three are fixed only by these keys.
static_assert(Key("enable") == 0xaf8bb8ce && Key("host") == 0xaffea56f && Key("port") == 0x7be412a6,
              "option keys");

}  // namespace

// One row per option: the loop in Apply reads them all alike.
const MqttSettings::Option MqttSettings::kOptions[] = {
    {"enable", Key("enable"), Type::kFlag, "0", &MqttSettings::enable_, nullptr, nullptr, 0, 0},
    {"host", Key("host"), Type::kText, "0.0.0.0", nullptr, &MqttSettings::host_, nullptr, 0, 0},
    {"port", Key("port"), Type::kNumber, "1883", nullptr, nullptr, &MqttSettings::port_, 1, 0},
    {"username", Key("username"), Type::kText, "", nullptr, &MqttSettings::username_, nullptr, 0, 0},
    {"password", Key("password"), Type::kText, "", nullptr, &MqttSettings::password_, nullptr, 0, 0},
    {"tls", Key("tls"), Type::kFlag, "0", &MqttSettings::tls_, nullptr, nullptr, 0, 0},
    {"ca_file", Key("ca_file"), Type::kText, "", nullptr, &MqttSettings::ca_file_, nullptr, 0, 0},
    {"cert_file", Key("cert_file"), Type::kText, "", nullptr, &MqttSettings::cert_file_, nullptr, 0, 0},
    {"key_file", Key("key_file"), Type::kText, "", nullptr, &MqttSettings::key_file_, nullptr, 0, 0},
    {"tls_verify", Key("tls_verify"), Type::kFlag, "1", &MqttSettings::tls_verify_, nullptr, nullptr, 0, 0},
    {"client_id", Key("client_id"), Type::kText, "", nullptr, &MqttSettings::client_id_, nullptr, 0, 0},
    // The library refuses keep-alive intervals below 5 s; MQTT's field has 16 bits.
    {"keepalive", Key("keepalive"), Type::kNumber, "60", nullptr, nullptr, &MqttSettings::keepalive_, 5, 65535},
    {"qos", Key("qos"), Type::kNumber, "0", nullptr, nullptr, &MqttSettings::qos_, 0, 1},
    {"availability", Key("availability"), Type::kFlag, "0", &MqttSettings::availability_, nullptr, nullptr, 0, 0},
    {"node_timeout", Key("node_timeout"), Type::kNumber, "600", nullptr, nullptr, &MqttSettings::node_timeout_, 1, 86400},
    {"ha_discovery", Key("ha_discovery"), Type::kFlag, "0", &MqttSettings::ha_discovery_, nullptr, nullptr, 0, 0},
    {"ha_prefix", Key("ha_prefix"), Type::kText, "homeassistant", nullptr, &MqttSettings::ha_prefix_, nullptr, 0, 0},
};

MqttSettings::MqttSettings() {
  for (const Option& option : kOptions) Set(option, option.fallback);
}

bool MqttSettings::Set(const Option& option, const std::string& text) {
  switch (option.type) {
    case Type::kText:
      this->*option.text = text;
      return true;
    case Type::kFlag:
      try {
        this->*option.flag = boost::lexical_cast<bool>(text);
        return true;
      } catch (const boost::bad_lexical_cast&) {
        LOG_ERROR << "Option " << option.name << " : cannot convert \"" << text << "\", keeping "
                  << this->*option.flag;
        return false;
      }
    case Type::kNumber:
      try {
        // Unsigned 32 bits (a leading '-' negates modulo 2^32), kept in an int.
        const uint32_t value = boost::lexical_cast<uint32_t>(text);
        const bool ranged = option.min <= option.max;
        // A '-' before a non-zero number is outside every range.
        const bool negative = text.find('-') != std::string::npos && value != 0;
        if (ranged && (negative || value < option.min || value > option.max)) {
          LOG_ERROR << "Option " << option.name << " : \"" << text << "\" is not in " << option.min
                    << ".." << option.max << ", keeping " << this->*option.number;
          return false;
        }
        this->*option.number = static_cast<int>(value);
        return true;
      } catch (const boost::bad_lexical_cast&) {
        LOG_ERROR << "Option " << option.name << " : cannot convert \"" << text << "\", keeping "
                  << this->*option.number;
        return false;
      }
  }
  return false;
}

void MqttSettings::Apply(const char* reply) {
  if (reply == nullptr) return;
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(reply);
  } catch (const nlohmann::json::exception& e) {
    LOG_ERROR << e.what();
    return;
  }
  if (!document.is_object()) return;
  const auto values = document.find("values");
  if (values == document.end() || !values->is_object()) return;

  for (const auto& item : values->items()) {
    const uint32_t key = ipc::Fnv1a(item.key());
    const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                     [key](const Option& o) { return o.key == key; });
    if (option == std::end(kOptions)) continue;
    if (!item.value().is_string()) {
      LOG_ERROR << "Option " << item.key() << " : not a string, ignored";
      continue;
    }
    Set(*option, item.value().get_ref<const std::string&>());
  }
}

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
