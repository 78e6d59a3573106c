#pragma once

#include <functional>
#include <string>

#include "report_settings.h"

// Posts `body` to settings.server_url + "/gateways/report" with the bearer
// token. `cancelled` is polled during the transfer and aborts it when true.
// Returns false only when the request cannot have reached the server (host
// not resolved, no connection), so the caller may send the readings again.
bool ReportSensorData(const std::string& body, const std::function<bool()>& cancelled = {});
bool ReportSensorData(const ReportSettings& settings, const std::string& body,
                      const std::function<bool()>& cancelled = {});

// Writes the record for `code` (an HTTP status or a CURLcode) and `response`
// and tells whether the request may have reached the server.
bool JudgeResponse(long code, const std::string& response);
