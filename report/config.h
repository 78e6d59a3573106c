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

// One warning record for each setting that puts the token at risk: a
// server address that is not https, TLS verification turned off.
void WarnInsecureSettings(const ReportSettings& settings);
