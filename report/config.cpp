#include "config.h"

#include <nlohmann/json.hpp>
#include <string>

#include "log/log.h"
#include "uci/uci.h"
#include "upload.h"

namespace {

void ReadSection(const char* request_text, const uci::ReplyHandler& handler) {
  uci::UCICall("get", nlohmann::json::parse(request_text), handler);
}

}  // namespace

void SysParamsHandler(const char* reply, ReportSettings& settings) { kSysOptions.Take(reply, settings); }

void AuthParamsHandler(const char* reply, ReportSettings& settings) { kAuthOptions.Take(reply, settings); }

void GetSysParams() {
  ReadSection(R"({"config":"tavrin","section":"sys"})",
              [](const char* reply) { SysParamsHandler(reply, Settings()); });
}

void GetAuthParams() {
  ReadSection(R"({"config":"tavrin","section":"auth"})",
              [](const char* reply) { AuthParamsHandler(reply, Settings()); });
}

void WarnInsecureSettings(const ReportSettings& settings) {
  const std::string& url = settings.server_url;
  if (!url.empty()) {
    const std::string clear_text =
        "Server is not https : the access token is sent in clear text to " + UrlWithoutCredentials(url);
    switch (RouteOf(url)) {
      case TokenRoute::kTls:
        break;
      case TokenRoute::kLoopback:
        LOG_WARN << clear_text;
        break;
      case TokenRoute::kClearText:
        if (settings.allow_http) {
          LOG_WARN << clear_text << " (sys.allow_http is 1)";
        } else {
          LOG_ERROR << PlainHttpRefusal(url);
        }
        break;
    }
  }
  if (!settings.verify_tls) {
    LOG_WARN << "TLS verification is off : the server's certificate is not checked";
  }
}
