#include "mqtt_settings.h"

#include <boost/lexical_cast.hpp>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "ipc/fnv.h"
#include "log/log.h"

namespace {

constexpr uint32_t kEnableHash = 0xaf8bb8ce;
constexpr uint32_t kHostHash = 0xaffea56f;
constexpr uint32_t kPortHash = 0x7be412a6;

// Converts `text` to T with boost::lexical_cast; on failure keeps `target`.
template <typename T, typename Target>
void Convert(const std::string& option, const std::string& text, Target& target) {
  try {
    target = static_cast<Target>(boost::lexical_cast<T>(text));
  } catch (const boost::bad_lexical_cast&) {
    LOG_ERROR << "Option " << option << " : cannot convert \"" << text << "\", keeping " << target;
  }
}

}  // namespace

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

  for (const auto& option : values->items()) {
    const uint32_t key = ipc::Fnv1a(option.key());
    if (key != kEnableHash && key != kHostHash && key != kPortHash) continue;
    if (!option.value().is_string()) {
      LOG_ERROR << "Option " << option.key() << " : not a string, ignored";
      continue;
    }
    const std::string& text = option.value().get_ref<const std::string&>();
    switch (key) {
      case kEnableHash:
        Convert<bool>(option.key(), text, enable_);
        break;
      case kHostHash:
        host_ = text;
        break;
      case kPortHash:
        // Unsigned 32 bits (a leading '-' negates modulo 2^32), kept in an int.
        Convert<uint32_t>(option.key(), text, port_);
        break;
    }
  }
}

namespace {
MqttSettings g_settings;
}  // namespace

MqttSettings& GetMqttSettings() { return g_settings; }
