#include "config.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "log/log.h"
#include "uci/uci.h"

static_assert(kServerUrlOption == ipc::Fnv1a("url"), "sys server option");
static_assert(kAuthTokenOption == ipc::Fnv1a("access_token"), "auth token option");

namespace {

// Calls `on_option(hash, value)` for each member of the reply's "values".
template <typename OnOption>
void ForEachOption(const char* reply, OnOption on_option) {
  if (reply == nullptr) return;
  try {
    const nlohmann::json document = nlohmann::json::parse(reply);
    const auto values = document.find("values");
    if (values == document.end() || !values->is_object()) return;
    for (const auto& [name, value] : values->items()) {
      try {
        on_option(ipc::Fnv1a(name), value);
      } catch (const nlohmann::json::exception& e) {
        LOG_ERROR << e.what();
      }
    }
  } catch (const nlohmann::json::exception& e) {
    LOG_ERROR << e.what();
  }
}

void ReadSection(const char* request_text, const uci::ReplyHandler& handler) {
  uci::UCICall("get", nlohmann::json::parse(request_text), handler);
}

// UCI's spellings of a false boolean.
bool IsFalse(const std::string& value) {
  return value == "0" || value == "no" || value == "off" || value == "false" || value == "disabled";
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// A whole number of seconds, at least 1; anything else is logged and keeps
// `current`.
long SecondsOption(const char* option, const std::string& text, long current) {
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || seconds < 1) {
    LOG_ERROR << "Option " << option << " : cannot convert \"" << text << "\", keeping " << current;
    return current;
  }
  return seconds;
}

}  // namespace

void SysParamsHandler(const char* reply, ReportSettings& settings) {
  ForEachOption(reply, [&settings](uint32_t hash, const nlohmann::json& value) {
    if (hash == kServerUrlOption) {
      settings.server_url = value.get<std::string>();
    } else if (hash == kCaFileOption) {
      settings.ca_file = value.get<std::string>();
    } else if (hash == kTlsVerifyOption) {
      settings.verify_tls = !IsFalse(value.get<std::string>());
    } else if (hash == kSpoolOption) {
      settings.spool_path = value.get<std::string>();
    } else if (hash == kSpoolIntervalOption) {
      settings.spool_interval = SecondsOption("spool_interval", value.get<std::string>(), settings.spool_interval);
    }
  });
}

void AuthParamsHandler(const char* reply, ReportSettings& settings) {
  ForEachOption(reply, [&settings](uint32_t hash, const nlohmann::json& value) {
    if (hash == kAuthTokenOption) settings.auth_token = value.get<std::string>();
  });
}

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
