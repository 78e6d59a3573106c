// A sensor node's notification on its sensor characteristic, as the node
// session takes it from BlueZ: the "Value" property through the length check,
// the frame decoding and the post of the reading to the BLE mailbox.

#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <vector>

#include "harness.h"
#include "manager/messages.h"
#include "node/node.h"
#include "sensor/sensor_data.h"

namespace {

constexpr const char* kDeviceId = "0123456789AB";

Node& TheNode() {
  static Node node(kDeviceId);
  return node;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> frame(data, data + size);
  TheNode().SensorPropHandler("Value", sdbus::Variant(frame));

  size_t posted = 0;
  while (!g_messageQueue.Empty()) {
    mailbox::Message message = g_messageQueue.Pop();
    FUZZ_EXPECT(message.type == LE_EVT_RECV_SENSOR_DATA);
    const auto* payload = static_cast<const SensorDataPayload*>(message.data);
    // Only whole frames become readings; the key carries the sensor index.
    FUZZ_EXPECT(size >= kSensorFrameSize);
    FUZZ_EXPECT(payload->key == (data[1] == 0 ? std::string(kDeviceId)
                                              : std::string(kDeviceId) + "_" + std::to_string(data[1])));
    FUZZ_EXPECT(payload->reading.is_object());
    FUZZ_EXPECT(payload->reading.at("k").is_string());
    FUZZ_EXPECT(payload->reading.at("ts").is_number_unsigned());
    DeletePayload(message);
    ++posted;
  }
  FUZZ_EXPECT(posted <= 1);
  return 0;
}
