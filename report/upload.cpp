#include "upload.h"

#include <sstream>

#include "curl_easy.h"
#include "log/log.h"

namespace {

constexpr long kTransferTimeoutSeconds = 30;
constexpr long kDnsCacheSeconds = 7200;

struct Transfer {
  long code = 0;
  std::string response;
};

int Progress(void* cancelled, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* check = static_cast<const std::function<bool()>*>(cancelled);
  return (*check)() ? 1 : 0;
}

}  // namespace

bool JudgeResponse(long code, const std::string& response) {
  if (code >= 200 && code <= 299) {
    LOG_VERB << response;
  } else if (code >= 400) {
    char head[64];
    snprintf(head, sizeof head, "Server Error ( %ld ) : ", code);
    LOG_ERROR << head << response;
  } else if (code == CURLE_COULDNT_RESOLVE_HOST) {
    LOG_WARN << "Couldn't resolve host.";
    return false;
  } else if (code == CURLE_COULDNT_CONNECT) {
    LOG_WARN << "Failed to connect() to host.";
    return false;
  }
  return true;
}

bool ReportSensorData(const std::string& body, const std::function<bool()>& cancelled) {
  return ReportSensorData(Settings(), body, cancelled);
}

bool ReportSensorData(const ReportSettings& settings, const std::string& body,
                      const std::function<bool()>& cancelled) {
  const std::string url = settings.server_url + "/gateways/report";
  curl::curl_header headers;
  headers.add("cache-control: no-cache");
  headers.add("Content-Type: application/json");
  headers.add("Authorization: Bearer " + settings.auth_token);
  std::ostringstream response;

  Transfer transfer;
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
      easy.add(CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
      easy.add(CURLOPT_NOSIGNAL, 1L);
      easy.add(CURLOPT_DNS_CACHE_TIMEOUT, kDnsCacheSeconds);
      // The daemon takes nothing from its environment, proxies included.
      easy.add(CURLOPT_PROXY, "");
      if (cancelled) {
        easy.add(CURLOPT_XFERINFOFUNCTION, &Progress);
        easy.add(CURLOPT_XFERINFODATA, const_cast<void*>(static_cast<const void*>(&cancelled)));
        easy.add(CURLOPT_NOPROGRESS, 0L);
      }
      easy.perform();
      transfer.code = easy.response_code();
      transfer.response = response.str();
    } catch (const curl::curl_easy_exception& e) {
      transfer.code = e.code();
      transfer.response = e.what();
    }
  }
  return JudgeResponse(transfer.code, transfer.response);
}
