#include "upload.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "curl_easy.h"
#include "log/log.h"

namespace {

constexpr long kDnsCacheSeconds = 7200;

int Progress(void* cancelled, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* check = static_cast<const std::function<bool()>*>(cancelled);
  return (*check)() ? 1 : 0;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// Keeps the value of the last Retry-After header line of the response.
size_t Header(char* data, size_t size, size_t count, void* sink) {
  const size_t bytes = size * count;
  static constexpr char kName[] = "retry-after:";
  constexpr size_t kNameLength = sizeof kName - 1;
  if (bytes > kNameLength) {
    bool match = true;
    for (size_t i = 0; i < kNameLength && match; ++i) {
      match = std::tolower(static_cast<unsigned char>(data[i])) == kName[i];
    }
    if (match) *static_cast<std::string*>(sink) = Trim(std::string(data + kNameLength, bytes - kNameLength));
  }
  return bytes;
}

FailureClass CurlClass(long code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return FailureClass::kResolve;
    case CURLE_COULDNT_CONNECT:
      return FailureClass::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return FailureClass::kTimeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_USE_SSL_FAILED:
      return FailureClass::kTls;
    default:
      return FailureClass::kTransport;
  }
}

}  // namespace

long ParseRetryAfter(const std::string& value, int64_t now) {
  const std::string text = Trim(value);
  if (text.empty()) return -1;
  bool digits = true;
  for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  if (digits) {
    if (text.size() > 9) return 999999999;
    return std::strtol(text.c_str(), nullptr, 10);
  }
  const int64_t when = curl_getdate(text.c_str(), nullptr);
  if (when < 0) return -1;
  // 64-bit: long and the clock's seconds may each be 32 bits wide.
  return when > now ? static_cast<long>(std::min<int64_t>(when - now, 999999999)) : 0;
}

UploadResult JudgeResponse(bool http, long code, const std::string& response, long retry_after) {
  UploadResult result;
  result.http = http;
  result.code = code;
  result.text = response;
  if (http) {
    if (code >= 200 && code <= 299) {
      LOG_VERB << response;
      result.outcome = Outcome::kDelivered;
      return result;
    }
    if (code >= 400) {
      char head[64];
      snprintf(head, sizeof head, "Server Error ( %ld ) : ", code);
      LOG_ERROR << head << response;
      result.failure = code < 500 ? FailureClass::kHttp4xx : FailureClass::kHttp5xx;
    } else {
      // 1xx as a final status, 3xx (not followed): not confirmed.
      LOG_WARN << "Report not confirmed : HTTP " << code;
      result.failure = FailureClass::kHttpOther;
    }
    if (code == 400 || code == 415 || code == 422) {
      result.outcome = Outcome::kRefused;
    } else if (code == 413) {
      result.outcome = Outcome::kTooLarge;
    } else {
      result.outcome = Outcome::kFailed;
      if (code == 429 || code == 503) result.retry_after = retry_after;
    }
    return result;
  }
  result.failure = CurlClass(code);
  if (code == CURLE_COULDNT_RESOLVE_HOST) {
    LOG_WARN << "Couldn't resolve host.";
    result.outcome = Outcome::kUnsent;
  } else if (code == CURLE_COULDNT_CONNECT) {
    LOG_WARN << "Failed to connect() to host.";
    result.outcome = Outcome::kUnsent;
  } else {
    LOG_WARN << "Report not confirmed : " << response;
    result.outcome = Outcome::kFailed;
  }
  return result;
}

UploadResult ReportSensorData(const ReportSettings& settings, const std::string& body, const std::string& key,
                              const std::function<bool()>& cancelled) {
  const std::string url = settings.server_url + "/gateways/report";
  curl::curl_header headers;
  headers.add("cache-control: no-cache");
  headers.add("Content-Type: application/json");
  headers.add("Authorization: Bearer " + settings.auth_token);
  if (!key.empty()) headers.add("Idempotency-Key: " + key);
  std::ostringstream response;
  std::string retry_after;

  bool http = false;
  long code = 0;
  std::string text;
  {
    curl::curl_easy easy(response);
    try {
      easy.add(CURLOPT_HTTPHEADER, headers.get());
      easy.add(CURLOPT_CUSTOMREQUEST, "POST");
      easy.add(CURLOPT_URL, url.c_str());
      easy.add(CURLOPT_SSL_VERIFYPEER, settings.verify_tls ? 1L : 0L);
      easy.add(CURLOPT_SSL_VERIFYHOST, settings.verify_tls ? 2L : 0L);
      if (!settings.ca_file.empty()) easy.add(CURLOPT_CAINFO, settings.ca_file.c_str());
      easy.add(CURLOPT_POSTFIELDS, body.c_str());
      if (settings.transfer_timeout_ms % 1000 == 0) {
        easy.add(CURLOPT_TIMEOUT, settings.transfer_timeout_ms / 1000);
      } else {
        easy.add(CURLOPT_TIMEOUT_MS, settings.transfer_timeout_ms);
      }
      easy.add(CURLOPT_NOSIGNAL, 1L);
      easy.add(CURLOPT_DNS_CACHE_TIMEOUT, kDnsCacheSeconds);
      // The daemon takes nothing from its environment, proxies included.
      easy.add(CURLOPT_PROXY, "");
      easy.add(CURLOPT_HEADERFUNCTION, &Header);
      easy.add(CURLOPT_HEADERDATA, static_cast<void*>(&retry_after));
      if (cancelled) {
        easy.add(CURLOPT_XFERINFOFUNCTION, &Progress);
        easy.add(CURLOPT_XFERINFODATA, const_cast<void*>(static_cast<const void*>(&cancelled)));
        easy.add(CURLOPT_NOPROGRESS, 0L);
      }
      easy.perform();
      http = true;
      code = easy.response_code();
      text = response.str();
    } catch (const curl::curl_easy_exception& e) {
      code = e.code();
      text = e.what();
    }
  }
  if (!http && code == CURLE_ABORTED_BY_CALLBACK && cancelled && cancelled()) {
    // Stopped by the daemon: nothing to judge, the report stays.
    UploadResult result;
    result.code = code;
    result.text = text;
    return result;
  }
  return JudgeResponse(http, code, text, ParseRetryAfter(retry_after, static_cast<int64_t>(time(nullptr))));
}
