// Memory and time of the report queues at their bound: heap bytes per
// waiting reading, the size of the report bodies that carry them, the time
// to build one, and the spool: write time and size for a full backlog, and
// the writes per hour it costs a spool in RAM and one on flash.
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "mailbox/mailbox.h"
#include "report_settings.h"
#include "reporter.h"

mailbox::Mailbox& mailbox::DaemonMailbox() {
  static mailbox::Mailbox box;
  return box;
}

namespace {

using Clock = std::chrono::steady_clock;

size_t HeapInUse() { return mallinfo2().uordblks; }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

const char* kTypes[] = {"PM_1_0", "PM_2_5", "PM_10", "TEMP", "HUM"};
constexpr int kNodes = 20;

void Fill(Reporter& reporter, size_t readings) {
  for (size_t i = 0; i < readings; ++i) {
    const int node = static_cast<int>(i % kNodes);
    const char* type = kTypes[(i / kNodes) % 5];
    char id[16];
    snprintf(id, sizeof id, "0123456789%02X", node);
    nlohmann::json reading = {{"k", type}, {"ts", 1700000000 + 60 * (i / (kNodes * 5))}, {"v", 12.25 + i % 7}};
    reporter.UpdateData(id, type, reading);
  }
}

}  // namespace

int main() {
  const size_t readings = Reporter::kMaxPendingReadings;
  char dir[] = "/tmp/report-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string spool = std::string(dir) + "/spool";

  auto reporter = std::make_unique<Reporter>();
  reporter->Configure(ReporterTiming{}, spool);
  const size_t before = HeapInUse();
  Fill(*reporter, readings);
  const size_t queued = HeapInUse() - before;

  const auto start = Clock::now();
  const std::optional<std::string> body = reporter->BuildReport();
  const auto built = Clock::now();
  const size_t peak = HeapInUse() - before;
  reporter->RequeueReport();

  constexpr int kWrites = 20;
  const auto write_start = Clock::now();
  for (int i = 0; i < kWrites; ++i) reporter->WriteSpool();
  const double write_ms = Ms(Clock::now() - write_start) / kWrites;
  const long spool_bytes = nlohmann::json::parse(reporter->StatusJson()).at("spool").at("size").get<long>();

  auto reader = std::make_unique<Reporter>();
  reader->Configure(ReporterTiming{}, spool);
  const auto read_start = Clock::now();
  reader->LoadSpool();
  const double read_ms = Ms(Clock::now() - read_start);

  printf("readings waiting          %zu (%d nodes x 5 types)\n", readings, kNodes);
  printf("heap while queued         %zu bytes, %.0f bytes per reading\n", queued,
         static_cast<double>(queued) / static_cast<double>(readings));
  printf("report body (one batch)   %zu bytes for %zu readings, %.1f bytes per reading\n", body->size(),
         Reporter::kMaxBatchReadings, static_cast<double>(body->size()) / Reporter::kMaxBatchReadings);
  printf("heap with batch built     %zu bytes\n", peak);
  printf("batch build time          %.2f ms\n", Ms(built - start));
  printf("spool size                %ld bytes (%zu readings), read back %zu\n", spool_bytes, readings,
         reader->PendingCount());
  printf("spool write (fsync)       %.2f ms (mean of %d)\n", write_ms, kWrites);
  printf("spool read                %.2f ms\n", read_ms);
  for (const char* path : {"/var/run/kelvora-report/report.spool", "/overlay/kelvora-report.spool"}) {
    ReportSettings settings;
    settings.spool_path = path;
    const long interval = SpoolIntervalSeconds(settings);
    const double per_hour = 3600.0 / static_cast<double>(interval);
    printf("spool at %-36s at most %.0f writes per hour (every %ld s), %.1f MB per hour at this backlog\n",
           path, per_hour, interval, per_hour * static_cast<double>(spool_bytes) / 1e6);
  }
  unlink(spool.c_str());
  rmdir(dir);
  return 0;
}
