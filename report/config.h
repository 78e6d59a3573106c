#pragma once

#include "report_settings.h"

// Read section "sys" / "auth" of "tavrin" over ubus into Settings().
void GetSysParams();
void GetAuthParams();

// Reply handlers of the two reads: take the options of "values" that the
// tables kSysOptions and kAuthOptions name. A reply that is not JSON, or a
// matching option that is not a string, is logged and leaves the settings
// as they were.
void SysParamsHandler(const char* reply, ReportSettings& settings);
void AuthParamsHandler(const char* reply, ReportSettings& settings);

// One record for each setting that puts the token at risk: a warning for a
// server address that is not https (with sys.allow_http, or to a loopback
// literal), an error for one that TokenMayGo refuses (nothing is sent
// there), a warning for TLS verification turned off.
void WarnInsecureSettings(const ReportSettings& settings);
