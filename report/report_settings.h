#pragma once

#include <string>

#include "uci/options.h"

// Upload settings of the process, filled once from UCI during start-up
// (before the report thread starts) and only read afterwards. The defaults
// are those of the options tables below.
struct ReportSettings {
  ReportSettings();

  std::string server_url;  // base URL; reports go to server_url + "/gateways/report"
  std::string auth_token;  // bearer token sent with every report
  std::string ca_file;     // PEM file of the CA that signs the server; empty: system store
  bool verify_tls;         // verify the server's certificate and name
  bool allow_http;         // the token may go over plain http to another host
  long transfer_timeout_ms = 30000;  // whole transfer
  // Where the waiting readings are kept across restarts; empty: nowhere.
  std::string spool_path;
  // Shortest time between two spool writes; 0: the default for the path
  // (SpoolIntervalSeconds).
  long spool_interval = 0;
};

// The options of sections "sys" and "auth" of package "tavrin".
extern const uci::OptionTable<ReportSettings> kSysOptions;
extern const uci::OptionTable<ReportSettings> kAuthOptions;

// The interval between spool writes that `settings` asks for: the
// configured one, else 30 s for a spool in RAM (/tmp, /var) and 600 s for
// one on flash.
long SpoolIntervalSeconds(const ReportSettings& settings);

// The process-wide record.
ReportSettings& Settings();
