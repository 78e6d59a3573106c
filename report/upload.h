#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "report_settings.h"

// What became of one upload, as far as the readings it carried are concerned.
enum class Outcome {
  kDelivered,  // 2xx: the server has them
  kRefused,    // 400, 413 of a single reading, 415, 422: refused for good
  kTooLarge,   // 413: the server wants smaller reports
  kUnsent,     // host not resolved, no connection: the server never saw it
  kFailed,     // anything else: it may or may not have arrived; send it again
};

// Failure classes counted for the status object. kPlainHttp: not sent, the
// url is plain http to another host and sys.allow_http is off.
enum class FailureClass {
  kNone,
  kResolve,
  kConnect,
  kTimeout,
  kTls,
  kTransport,
  kHttp4xx,
  kHttp5xx,
  kHttpOther,
  kPlainHttp,
};

struct UploadResult {
  Outcome outcome = Outcome::kFailed;
  FailureClass failure = FailureClass::kNone;
  bool http = false;      // `code` is an HTTP status (else a CURLcode)
  long code = 0;
  std::string text;       // the server's answer or libcurl's error text
  long retry_after = -1;  // seconds the server asked to wait (429, 503), -1: none
};

// Where a report to `url` would carry the bearer token: over TLS, in clear
// text to a loopback literal (127.0.0.0/8, [::1], localhost: it never leaves
// the machine), or in clear text to another host. Only a url that starts
// with https:// (any case) is TLS; one without a scheme is http to libcurl.
enum class TokenRoute { kTls, kLoopback, kClearText };
TokenRoute RouteOf(const std::string& url);

// Whether uploads to settings.server_url may carry the token: not in clear
// text to another host unless sys.allow_http is on.
bool TokenMayGo(const ReportSettings& settings);

// The host of `url` as written: no scheme, user info, port or IPv6 brackets.
std::string UrlHost(const std::string& url);

// `url` without user name and password.
std::string UrlWithoutCredentials(const std::string& url);

// The error record (and the status's error text) of a url that TokenMayGo
// refuses.
std::string PlainHttpRefusal(const std::string& url);

// Posts `body` to settings.server_url + "/gateways/report" with the bearer
// token and `key` as its Idempotency-Key (none when empty). `cancelled` is
// polled during the transfer and aborts it when true. Writes the record of
// the outcome. A url that TokenMayGo refuses is not contacted at all: the
// result is kUnsent, kPlainHttp, without a record (the daemon wrote it once
// at start). The token never appears in the answer's text: a server that
// echoes the request would otherwise put it into the log.
UploadResult ReportSensorData(const ReportSettings& settings, const std::string& body, const std::string& key,
                              const std::function<bool()>& cancelled = {});

// Judges an HTTP status (`http`) or a CURLcode and writes its record.
UploadResult JudgeResponse(bool http, long code, const std::string& response, long retry_after = -1);

// Seconds to wait from a Retry-After value (delta-seconds or an HTTP date,
// relative to `now`), or -1 when it is neither.
long ParseRetryAfter(const std::string& value, int64_t now);
