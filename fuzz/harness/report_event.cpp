// "kelvora.report" events as the report daemon takes them: the listener's
// handler posts each one, the main thread's pass routes it to its data
// queue, and the report thread builds a report of what was admitted. Each
// line of the input is one event, so that thinning sees a sequence.

#include <nlohmann/json.hpp>

#include "harness.h"
#include "mailbox/mailbox.h"
#include "reporter.h"
#include "sensor_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reporter reporter;
  const std::string input = fuzz::Text(data, size);
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    const std::string event = input.substr(start, end - start);
    SensorDataEventHandler(event.c_str());
    // The daemon's loop ends on any exception that leaves a pass: let it
    // reach libFuzzer as a crash.
    while (!fuzz::DaemonQueue().Empty()) ProcessMessage(fuzz::DaemonQueue(), reporter);
    start = end + 1;
  }

  const size_t pending = reporter.PendingCount();
  FUZZ_EXPECT(pending <= Reporter::kMaxPendingReadings);
  if (const auto body = reporter.BuildReport()) {
    FUZZ_EXPECT(pending > 0);
    const nlohmann::json report = nlohmann::json::parse(*body);
    FUZZ_EXPECT(report.at("nodes").is_array());
    reporter.RequeueReport();
    FUZZ_EXPECT(reporter.PendingCount() == pending);
    FUZZ_EXPECT(reporter.BuildReport().has_value());
    reporter.ReleaseReport();
  } else {
    FUZZ_EXPECT(pending == 0);
  }
  FUZZ_EXPECT(reporter.PendingCount() == 0);
  return 0;
}
