// The judgement of an upload's outcome as the upload makes it: the first
// byte says whether the code is an HTTP status (bit 0) or a CURLcode, the
// next eight are the code (little-endian), then a Retry-After value up to
// the first newline and the response body or libcurl's text after it.

#include <cstring>

#include "harness.h"
#include "mailbox/mailbox.h"
#include "upload.h"

namespace {
constexpr long kNow = 1700000000;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool http = data[0] & 1;
  int64_t code = 0;
  const size_t head = size - 1 < sizeof code ? size - 1 : sizeof code;
  std::memcpy(&code, data + 1, head);
  const std::string rest = fuzz::Text(data + 1 + head, size - 1 - head);
  const size_t newline = rest.find('\n');
  const std::string retry_value = newline == std::string::npos ? "" : rest.substr(0, newline);
  const std::string response = newline == std::string::npos ? rest : rest.substr(newline + 1);

  const long retry_after = ParseRetryAfter(retry_value, kNow);
  FUZZ_EXPECT(retry_after >= -1);
  const UploadResult result = JudgeResponse(http, static_cast<long>(code), response, retry_after);
  FUZZ_EXPECT(result.http == http && result.code == code);
  // Only a 2xx is a delivery; only a request that never left is unsent;
  // only the listed statuses refuse the content for good.
  if (result.outcome == Outcome::kDelivered) FUZZ_EXPECT(http && code >= 200 && code <= 299);
  if (result.outcome == Outcome::kUnsent) FUZZ_EXPECT(!http && (code == 6 || code == 7));
  if (result.outcome == Outcome::kRefused) FUZZ_EXPECT(http && (code == 400 || code == 415 || code == 422));
  if (result.outcome == Outcome::kTooLarge) FUZZ_EXPECT(http && code == 413);
  if (result.retry_after >= 0) FUZZ_EXPECT(http && (code == 429 || code == 503));
  return 0;
}
