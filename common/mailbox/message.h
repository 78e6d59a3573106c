#pragma once

#include <cstdint>

namespace mailbox {

// A typed message; `data` is a heap payload owned by the message once posted,
// deleted by the consumer through its real type.
struct Message {
  Message() : type(0), data(nullptr) {}
  Message(uint32_t type_, void* data_) : type(type_), data(data_) {}

  uint32_t type;
  void* data;
};

}  // namespace mailbox
