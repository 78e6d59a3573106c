// The replies of the report daemon's gets of sections "sys" and "auth".

#include "config.h"
#include "harness.h"
#include "mailbox/mailbox.h"
#include "report_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  ReportSettings settings;
  SysParamsHandler(text.c_str(), settings);
  AuthParamsHandler(text.c_str(), settings);
  WarnInsecureSettings(settings);
  return 0;
}
