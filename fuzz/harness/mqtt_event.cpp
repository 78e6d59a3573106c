// A "kelvora.report" event as the MQTT daemon takes it: the listener's
// handler posts it, the main thread's pass publishes it.

#include <nlohmann/json.hpp>

#include "bridge.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  SensorDataEventHandler(text.c_str());
  int published = 0;
  // The daemon's loop ends on any exception that leaves a pass: let it reach
  // libFuzzer as a crash.
  while (!fuzz::DaemonQueue().Empty()) {
    ProcessMessage(fuzz::DaemonQueue(), [&](const std::string& topic, const std::string& payload, int qos) {
      ++published;
      FUZZ_EXPECT(topic.rfind("kelvora/", 0) == 0);
      FUZZ_EXPECT(qos == 0);
      // The body is the event's "data", compact, and reads back as JSON.
      const nlohmann::json event = nlohmann::json::parse(text.c_str());
      FUZZ_EXPECT(nlohmann::json::parse(payload) == event.at("data"));
      return true;
    });
  }
  FUZZ_EXPECT(published <= 1);
  return 0;
}
