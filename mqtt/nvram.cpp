#include <nlohmann/json.hpp>

#include "ipc/ubus.h"
#include "mqtt_settings.h"

void NVRAMInit() {
  const std::string request =
      nlohmann::json::parse(R"({"config":"tavrin","section":"mqtt"})").dump();
  ipc::UBUS bus(30);
  bus.Call("uci", "get", request, [](const char* reply) { GetMqttSettings().Apply(reply); });
}
