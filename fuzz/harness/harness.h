#pragma once

// Shared by every harness: the input as the NUL-terminated text the ubus
// wrapper hands a handler, and the optional log of a run.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/log.h"
#include "mailbox/mailbox.h"

namespace fuzz {

// The bus delivers text without NUL bytes; one in the input ends the text
// there, as it would for the handler.
inline std::string Text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// KELVORA_FUZZ_LOG=<file> writes every record of the product code there at
// the most verbose level (slower, but runs the record paths as well).
inline void InitLogging() {
  if (const char* path = std::getenv("KELVORA_FUZZ_LOG")) {
    logging::InitFileLogger(path, logging::Severity::verbose);
  }
}

// The daemon mailbox of a report or MQTT harness (see daemon_mailbox.cpp).
mailbox::Mailbox& DaemonQueue();

// A broken expectation about what the product did with an input: abort, so
// that libFuzzer keeps the input as a finding.
#define FUZZ_EXPECT(condition)                                                        \
  do {                                                                                \
    if (!(condition)) {                                                               \
      __builtin_printf("%s:%d: expectation failed: %s\n", __FILE__, __LINE__, #condition); \
      __builtin_abort();                                                              \
    }                                                                                 \
  } while (0)

}  // namespace fuzz
