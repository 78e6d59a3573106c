#include "report_settings.h"

ReportSettings& Settings() {
  static ReportSettings settings;
  return settings;
}

const std::string& ServerUrl() { return Settings().server_url; }

const std::string& AuthToken() { return Settings().auth_token; }

long SpoolIntervalSeconds(const ReportSettings& settings) {
  if (settings.spool_interval > 0) return settings.spool_interval;
  const std::string& path = settings.spool_path;
  const bool in_ram = path.rfind("/tmp/", 0) == 0 || path.rfind("/var/", 0) == 0;
  return in_ram ? 30 : 600;
}
