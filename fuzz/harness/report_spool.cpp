// The report daemon's spool as it reads it at start: the input is the
// content of the spool file handed to LoadSpool. Most inputs get a valid
// header (size and checksum of the rest) so that the payload's lines are
// explored; an input whose first byte is odd is written as it is, header
// included. What the reader accepts must survive a write and a second read
// unchanged.

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "harness.h"
#include "mailbox/mailbox.h"
#include "reporter.h"

namespace {
// A spool path in a directory of this run, in RAM where there is one.
const std::string& SpoolPath() {
  static const std::string path = [] {
    char dir[] = "/dev/shm/fuzz-spool-XXXXXX";
    char fallback[] = "/tmp/fuzz-spool-XXXXXX";
    const char* made = mkdtemp(dir);
    if (!made) made = mkdtemp(fallback);
    if (!made) abort();
    return std::string(made) + "/spool";
  }();
  return path;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::Text(data, size);
  std::string content = input;
  if (input.empty() || (input[0] & 1) == 0) {
    content = SealSpool(input.empty() ? input : input.substr(1));
  }
  const std::string& spool = SpoolPath();
  const std::string aside = spool + ".bad";
  unlink(aside.c_str());
  WriteFile(spool, content);

  Reporter reader;
  reader.Configure(ReporterTiming{}, spool);
  reader.LoadSpool();
  const size_t pending = reader.PendingCount();
  FUZZ_EXPECT(pending <= Reporter::kMaxPendingReadings);
  if (Exists(aside)) {
    // Refused: moved aside whole, nothing taken from it.
    FUZZ_EXPECT(!Exists(spool));
    FUZZ_EXPECT(pending == 0);
    return 0;
  }

  // Accepted: written again and read by a fresh reporter, the same readings.
  FUZZ_EXPECT(reader.WriteSpool());
  Reporter again;
  again.Configure(ReporterTiming{}, spool);
  again.LoadSpool();
  FUZZ_EXPECT(!Exists(aside));
  FUZZ_EXPECT(again.PendingCount() == pending);
  while (true) {
    const auto first = reader.BuildReport();
    const auto second = again.BuildReport();
    FUZZ_EXPECT(first.has_value() == second.has_value());
    if (!first) break;
    FUZZ_EXPECT(*first == *second);
    FUZZ_EXPECT(nlohmann::json::parse(*first).at("nodes").is_array());
    reader.ReleaseReport();
    again.ReleaseReport();
  }
  FUZZ_EXPECT(reader.PendingCount() == 0 && again.PendingCount() == 0);
  unlink(spool.c_str());
  return 0;
}
