// A "kelvora.websocket" event as the listener hands it to the BLE daemon's
// handler, up to the LE_CTRL_BEACON / LE_CTRL_FOLD message in the mailbox.

#include <nlohmann/json.hpp>

#include "events/websocket.h"
#include "harness.h"
#include "manager/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  WebsocketDataEventHandler(text.c_str());

  size_t posted = 0;
  while (!g_messageQueue.Empty()) {
    mailbox::Message message = g_messageQueue.Pop();
    FUZZ_EXPECT(message.type == LE_CTRL_BEACON || message.type == LE_CTRL_FOLD);
    FUZZ_EXPECT(message.data != nullptr);
    DeletePayload(message);
    ++posted;
  }
  FUZZ_EXPECT(posted <= 1);
  return 0;
}
