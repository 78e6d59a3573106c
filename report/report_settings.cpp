#include "report_settings.h"

namespace {

using uci::Declare;
using Type = uci::OptionType;
using S = ReportSettings;

constexpr uci::Option<ReportSettings> kSysRows[] = {
    Declare("url", Type::kText, "", &S::server_url),
    Declare("ca_file", Type::kText, "", &S::ca_file),
    Declare("tls_verify", Type::kNotFalse, "1", &S::verify_tls),
    // Plain http to a host other than this one carries the token in clear:
    // only with this option.
    Declare("allow_http", Type::kFlag, "0", &S::allow_http),
    // /var/run is RAM on OpenWrt (/var links to /tmp). A directory of its
    // own: the daemon's user may write there, not in /var/run itself.
    Declare("spool", Type::kText, "/var/run/kelvora-report/report.spool", &S::spool_path),
    // No default of its own: SpoolIntervalSeconds picks one by the path.
    Declare("spool_interval", Type::kSeconds, nullptr, &S::spool_interval),
};

constexpr uci::Option<ReportSettings> kAuthRows[] = {
    Declare("access_token", Type::kText, "", &S::auth_token),
};

}  // namespace

const uci::OptionTable<ReportSettings> kSysOptions{kSysRows, uci::NonString::kTypeError};
const uci::OptionTable<ReportSettings> kAuthOptions{kAuthRows, uci::NonString::kTypeError};

ReportSettings::ReportSettings() {
  kSysOptions.SetDefaults(*this);
  kAuthOptions.SetDefaults(*this);
}

ReportSettings& Settings() {
  static ReportSettings settings;
  return settings;
}

long SpoolIntervalSeconds(const ReportSettings& settings) {
  if (settings.spool_interval > 0) return settings.spool_interval;
  const std::string& path = settings.spool_path;
  const bool in_ram = path.rfind("/tmp/", 0) == 0 || path.rfind("/var/", 0) == 0;
  return in_ram ? 30 : 600;
}
