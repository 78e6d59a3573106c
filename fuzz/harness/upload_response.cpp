// The judgement of an upload's outcome: an HTTP status or a libcurl code
// (the first eight bytes, little-endian) and the response body or libcurl's
// text (the rest).

#include <cstring>

#include "harness.h"
#include "mailbox/mailbox.h"
#include "upload.h"

namespace {
queue::ThreadSafeQueue<mailbox::Message> g_mailbox;
}  // namespace

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t code = 0;
  const size_t head = size < sizeof code ? size : sizeof code;
  std::memcpy(&code, data, head);
  const std::string response = fuzz::Text(data + head, size - head);
  const bool reached = JudgeResponse(static_cast<long>(code), response);
  // Only the two codes of a request that never left may be sent again.
  FUZZ_EXPECT(reached || code == 6 || code == 7);
  return 0;
}
