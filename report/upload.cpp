#include "upload.h"

#include <arpa/inet.h>
#include <netinet/in.h>

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

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Where the authority (user info, host, port) of `url` begins: after
// "scheme://", or at 0 for a url without a scheme.
size_t AuthorityBegin(const std::string& url, std::string* scheme = nullptr) {
  const size_t mark = url.find("://");
  if (mark == std::string::npos || mark == 0) return 0;
  for (size_t i = 0; i < mark; ++i) {
    const unsigned char c = static_cast<unsigned char>(url[i]);
    // A "://" further on (in a path) is no scheme's.
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  if (scheme) *scheme = Lower(url.substr(0, mark));
  return mark + 3;
}

// The authority of `url`: up to the path, query or fragment.
std::string Authority(const std::string& url) {
  const size_t begin = AuthorityBegin(url);
  const size_t end = url.find_first_of("/?#", begin);
  return url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// `authority` without user info, split into the host (brackets kept) and
// what follows it (":port" or nothing).
void SplitAuthority(const std::string& authority, std::string& host, std::string& rest) {
  const size_t at = authority.rfind('@');
  const std::string tail = at == std::string::npos ? authority : authority.substr(at + 1);
  size_t end = 0;
  if (!tail.empty() && tail[0] == '[') {
    end = tail.find(']');
    end = end == std::string::npos ? tail.size() : end + 1;
  } else {
    end = std::min(tail.find(':'), tail.size());
  }
  host = tail.substr(0, end);
  rest = tail.substr(end);
}

// Only the literal forms: a name other than "localhost" may resolve
// anywhere, and an unusual spelling ("127.1", "0x7f.1", a trailing dot, a
// zone) is not worth the doubt.
bool IsLoopbackAuthority(const std::string& authority) {
  // Two '@', a backslash, a blank: libcurl and this parser might disagree
  // on the host.
  if (std::count(authority.begin(), authority.end(), '@') > 1) return false;
  if (std::any_of(authority.begin(), authority.end(), [](char c) {
        return c == '\\' || std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c));
      })) {
    return false;
  }
  std::string host;
  std::string rest;
  SplitAuthority(authority, host, rest);
  if (!rest.empty() && (rest[0] != ':' || !std::all_of(rest.begin() + 1, rest.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      }))) {
    return false;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    in6_addr address{};
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address) == 1 &&
           IN6_IS_ADDR_LOOPBACK(&address);
  }
  if (Lower(host) == "localhost") return true;
  in_addr address{};
  // Dotted decimal only, four parts, no leading zeros.
  return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// `text` with every occurrence of `secret` masked.
std::string Masked(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  static constexpr char kMask[] = "<access token>";
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + sizeof kMask - 1)) {
    text.replace(at, secret.size(), kMask);
  }
  return text;
}

}  // namespace

TokenRoute RouteOf(const std::string& url) {
  std::string scheme;
  AuthorityBegin(url, &scheme);
  if (scheme == "https") return TokenRoute::kTls;
  return IsLoopbackAuthority(Authority(url)) ? TokenRoute::kLoopback : TokenRoute::kClearText;
}

bool TokenMayGo(const ReportSettings& settings) {
  return settings.allow_http || RouteOf(settings.server_url) != TokenRoute::kClearText;
}

std::string UrlHost(const std::string& url) {
  std::string host;
  std::string rest;
  SplitAuthority(Authority(url), host, rest);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

std::string UrlWithoutCredentials(const std::string& url) {
  const size_t start = AuthorityBegin(url);
  const size_t end = url.find_first_of("/?#", start);
  const size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < start) return url;
  return url.substr(0, start) + url.substr(at + 1);
}

std::string PlainHttpRefusal(const std::string& url) {
  return "Refusing to send the access token over plain http to " + UrlHost(url) +
         " : set sys.allow_http to 1 to allow it";
}

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
  if (!TokenMayGo(settings)) {
    UploadResult result;
    result.outcome = Outcome::kUnsent;
    result.failure = FailureClass::kPlainHttp;
    result.text = PlainHttpRefusal(settings.server_url);
    return result;
  }
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
      text = Masked(response.str(), settings.auth_token);
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
