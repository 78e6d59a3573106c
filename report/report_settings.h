#pragma once

#include <string>

// Upload settings of the process, filled once from UCI during start-up
// (before the report thread starts) and only read afterwards.
struct ReportSettings {
  std::string server_url;  // base URL; reports go to server_url + "/gateways/report"
  std::string auth_token;  // bearer token sent with every report
  std::string ca_file;     // PEM file of the CA that signs the server; empty: system store
  bool verify_tls = true;  // verify the server's certificate and name
};

// The process-wide record.
ReportSettings& Settings();

const std::string& ServerUrl();
const std::string& AuthToken();
