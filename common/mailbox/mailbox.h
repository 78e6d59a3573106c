#pragma once

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

// The daemon's mailbox; each daemon defines it.
Mailbox& DaemonMailbox();

}  // namespace mailbox
