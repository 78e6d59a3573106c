#include "mailbox/mailbox.h"

#include <stdexcept>

namespace mailbox {

void Post(Mailbox& box, const Message& message) {
  if (message.type - kFirstCode > kLastCode - kFirstCode) {
    throw std::runtime_error("Message Type is Wrong");
  }
  box.Push(message);
}

void Post(const Message& message) { Post(DaemonMailbox(), message); }

}  // namespace mailbox
