// The reply of the MQTT daemon's get of section "mqtt".

#include "harness.h"
#include "mailbox/mailbox.h"
#include "mqtt_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  MqttSettings settings;
  settings.Apply(text.c_str());
  return 0;
}
