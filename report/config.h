#pragma once

#include <cstdint>

#include "ipc/fnv.h"
#include "report_settings.h"

// UCI options of package "tavrin" read by this daemon, matched by the FNV-1a
// hash of their names.
constexpr uint32_t kServerUrlOption = 0x328f4c1e;    // sys.url
constexpr uint32_t kAuthTokenOption = 0x45654d99;    // auth.access_token
constexpr uint32_t kCaFileOption = ipc::Fnv1a("ca_file");        // sys.ca_file
constexpr uint32_t kTlsVerifyOption = ipc::Fnv1a("tls_verify");  // sys.tls_verify
constexpr uint32_t kSpoolOption = ipc::Fnv1a("spool");                   // sys.spool
constexpr uint32_t kSpoolIntervalOption = ipc::Fnv1a("spool_interval");  // sys.spool_interval

// Read section "sys" / "auth" of "tavrin" over ubus into Settings().
void GetSysParams();
void GetAuthParams();

// Reply handlers of the two reads: take the matching options of "values".
// A reply that is not JSON, or a matching option that is not a string, is
// logged and leaves the settings as they were.
void SysParamsHandler(const char* reply, ReportSettings& settings);
void AuthParamsHandler(const char* reply, ReportSettings& settings);

// One warning record for each setting that puts the token at risk: a
// server address that is not https, TLS verification turned off.
void WarnInsecureSettings(const ReportSettings& settings);
