// The reply of the MQTT daemon's get of section "mqtt".

#include "harness.h"
#include "mailbox/mailbox.h"
#include "mqtt_settings.h"

namespace {
queue::ThreadSafeQueue<mailbox::Message> g_mailbox;
}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  MqttSettings settings;
  settings.Apply(text.c_str());
  return 0;
}
