#include "config.h"

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>

#include "log/log.h"
#include "uci/uci.h"

namespace {

void ReadSection(const char* request_text, const uci::ReplyHandler& handler) {
  uci::UCICall("get", nlohmann::json::parse(request_text), handler);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
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
  if (!settings.server_url.empty() && !StartsWithNoCase(settings.server_url, "https://")) {
    LOG_WARN << "Server is not https : the access token is sent in clear text to " << settings.server_url;
  }
  if (!settings.verify_tls) {
    LOG_WARN << "TLS verification is off : the server's certificate is not checked";
  }
}
