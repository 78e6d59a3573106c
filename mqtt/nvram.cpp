#include <nlohmann/json.hpp>

#include "mqtt_settings.h"
#include "uci/uci.h"

void NVRAMInit() {
  const nlohmann::json request = nlohmann::json::parse(R"({"config":"tavrin","section":"mqtt"})");
  uci::UCICall("get", request, [](const char* reply) { GetMqttSettings().Apply(reply); });
}
