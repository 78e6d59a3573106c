#include "report_settings.h"

ReportSettings& Settings() {
  static ReportSettings settings;
  return settings;
}

const std::string& ServerUrl() { return Settings().server_url; }

const std::string& AuthToken() { return Settings().auth_token; }
