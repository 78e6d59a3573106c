// Memory and time of the report queues at their bound: heap bytes per
// waiting reading, the size of the report body that carries them, and the
// time to build it.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "mailbox/mailbox.h"
#include "reporter.h"

mailbox::Mailbox& mailbox::DaemonMailbox() {
  static mailbox::Mailbox box;
  return box;
}

namespace {

size_t HeapInUse() { return mallinfo2().uordblks; }

const char* kTypes[] = {"PM_1_0", "PM_2_5", "PM_10", "TEMP", "HUM"};

}  // namespace

int main() {
  constexpr int kNodes = 20;
  const size_t readings = Reporter::kMaxPendingReadings;
  auto reporter = std::make_unique<Reporter>();

  const size_t before = HeapInUse();
  for (size_t i = 0; i < readings; ++i) {
    const int node = static_cast<int>(i % kNodes);
    const char* type = kTypes[(i / kNodes) % 5];
    char id[16];
    snprintf(id, sizeof id, "0123456789%02X", node);
    nlohmann::json reading = {{"k", type}, {"ts", 1700000000 + 60 * (i / (kNodes * 5))}, {"v", 12.25 + i % 7}};
    reporter->UpdateData(id, type, reading);
  }
  const size_t queued = HeapInUse() - before;

  const auto start = std::chrono::steady_clock::now();
  const std::optional<std::string> body = reporter->BuildReport();
  const auto built = std::chrono::steady_clock::now();
  const size_t peak = HeapInUse() - before;
  reporter->ReleaseReport();

  printf("readings waiting          %zu (%d nodes x 5 types)\n", readings, kNodes);
  printf("heap while queued         %zu bytes, %.0f bytes per reading\n", queued,
         static_cast<double>(queued) / static_cast<double>(readings));
  printf("report body               %zu bytes, %.1f bytes per reading\n", body->size(),
         static_cast<double>(body->size()) / static_cast<double>(readings));
  printf("heap with body built      %zu bytes\n", peak);
  printf("build time                %.1f ms\n",
         std::chrono::duration<double, std::milli>(built - start).count());
  return 0;
}
