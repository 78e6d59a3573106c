#pragma once

#include <memory>

#include "mailbox/message.h"
#include "queue/thread_safe_queue.h"

namespace mailbox {

using Mailbox = queue::ThreadSafeQueue<Message>;

constexpr uint32_t kFirstCode = 0x2000;
constexpr uint32_t kLastCode = 0x2FFF;

// Checks the code (0x2000..0x2FFF) and pushes onto `box`; throws
// std::runtime_error("Message Type is Wrong") otherwise, queueing nothing.
void Post(Mailbox& box, const Message& message);

// Posts onto the daemon's own mailbox (defined once per daemon).
void Post(const Message& message);

// Posts `payload` under `type` and hands its ownership to the message; on a
// refused code (or a failed append) the payload is still freed here.
template <typename Payload>
void Post(Mailbox& box, uint32_t type, std::unique_ptr<Payload> payload) {
  Post(box, Message(type, payload.get()));
  payload.release();
}

// The daemon's mailbox; each daemon defines it.
Mailbox& DaemonMailbox();

template <typename Payload>
void Post(uint32_t type, std::unique_ptr<Payload> payload) {
  Post(DaemonMailbox(), type, std::move(payload));
}

}  // namespace mailbox
