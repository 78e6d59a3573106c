#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "log/crash.h"

namespace {

// A program without a dynamic loader (linked statically, as the musl
// target's tests are) has no symbol table that dladdr could name frames
// from: its traces give addresses and modules only.
bool FramesCanBeNamed() { return getauxval(AT_BASE) != 0; }


using logging::Severity;

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

long OffsetAt(time_t seconds) {
  struct tm local {};
  localtime_r(&seconds, &local);
  return local.tm_gmtoff;
}

// The crash path's line must be the ordinary logger's line byte for byte, in
// zones east and west of UTC and across day, month, leap-day and year ends.
TEST(CrashLineFormat, SameBytesAsTheLoggerLine) {
  const char* zones[] = {"UTC0", "IST-5:30", "PST8", "NPT-5:45"};
  const struct {
    int64_t seconds;
    long nanoseconds;
  } moments[] = {
      {1796761667, 123456789},  // 2026-12-08 20:27:47.123
      {1709251199, 999999999},  // 2024-02-29 23:59:59.999
      {951868800, 0},           // 2000-03-01 00:00:00.000
      {4107542399, 500000000},  // 2100-02-28 23:59:59.500 (no leap day)
      {1767225599, 1000000},    // 2025-12-31 23:59:59.001
      {86399, 7000000},         // the first day of the epoch, late
  };
  std::vector<struct timespec> times;
  for (const auto& moment : moments) {
    // A 32-bit time_t (32-bit glibc) ends in 2038; musl's has 64 bits.
    if (moment.seconds > std::numeric_limits<time_t>::max()) continue;
    times.push_back({static_cast<time_t>(moment.seconds), moment.nanoseconds});
  }
  const Severity severities[] = {Severity::fatal, Severity::error, Severity::warning,
                                 Severity::info,  Severity::debug, Severity::verbose};
  const struct {
    const char* function;
    int line;
    const char* text;
    long tid;
  } records[] = {
      {"logging::SignalHandler", 42, "Signal Catch : 11", 12345},
      {"ns::Widget::~Widget", 7, "", 1},
      {"main", 100000, "Terminate program..", 4194304},
  };
  for (const char* zone : zones) {
    ZoneGuard guard(zone);
    for (const struct timespec& time : times) {
      const auto point = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
      for (const Severity severity : severities) {
        for (const auto& record : records) {
          const std::string expected =
              logging::FormatRecord(severity, point, record.tid, record.function, record.line, record.text);
          char line[256];
          const size_t size = logging::FormatRecordSafe(line, sizeof line, severity, time, OffsetAt(time.tv_sec),
                                                        record.tid, record.function, record.line, record.text);
          EXPECT_EQ(std::string(line, size), expected) << zone << " " << time.tv_sec;
        }
      }
    }
  }
}

TEST(CrashLineFormat, LongLineIsCutAtCapacity) {
  const std::string text(300, 'x');
  const struct timespec time = {1796761667, 0};
  char line[64];
  memset(line, '#', sizeof line);
  const size_t size =
      logging::FormatRecordSafe(line, 60, Severity::error, time, 0, 9, "f", 1, text.c_str());
  EXPECT_EQ(size, 60u);
  EXPECT_EQ(std::string(line + 60, 4), "####");
  EXPECT_EQ(std::string(line, 24), "2026-12-08 20:27:47.000 ");
}

__attribute__((noinline)) int KnownFrameFunction(int x) {
  asm volatile("" ::: "memory");
  return x * 3 + 1;
}

struct MapLine {
  uintptr_t start, end, offset;
  std::string path;
};

MapLine MappingOf(uintptr_t address, const std::string& maps) {
  std::istringstream in(maps);
  for (std::string line; std::getline(in, line);) {
    unsigned long long start = 0, end = 0, offset = 0;
    int path_at = 0;
    if (sscanf(line.c_str(), "%llx-%llx %*s %llx %*s %*s %n", &start, &end, &offset, &path_at) < 3) continue;
    if (address >= start && address < end && path_at > 0) {
      return {static_cast<uintptr_t>(start), static_cast<uintptr_t>(end), static_cast<uintptr_t>(offset),
              line.substr(static_cast<size_t>(path_at))};
    }
  }
  return {0, 0, 0, ""};
}

std::string MapsLine(uintptr_t start, uintptr_t end, uintptr_t offset, const std::string& path) {
  char head[128];
  snprintf(head, sizeof head, "%llx-%llx r-xp %08llx 08:01 1234                       ",
           static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
           static_cast<unsigned long long>(offset));
  return head + path + "\n";
}

std::string Frames(const std::vector<uintptr_t>& addresses) {
  std::string dump;
  for (uintptr_t a : addresses) dump.append(reinterpret_cast<const char*>(&a), sizeof a);
  const uintptr_t end = 0;
  dump.append(reinterpret_cast<const char*>(&end), sizeof end);
  return dump;
}

// A dump from a run whose modules lay elsewhere (address layout differs per
// run): frames are moved into this process's layout before naming them.
TEST(CrashDumpRender, FramesAreRelocatedAndNamed) {
  const std::string maps = ReadFile("/proc/self/maps");
  const uintptr_t here = reinterpret_cast<uintptr_t>(&KnownFrameFunction) + 4;
  const MapLine module = MappingOf(here, maps);
  ASSERT_FALSE(module.path.empty()) << maps;
  const uintptr_t shift = 0x10000000;
  const uintptr_t gone_base = sizeof(uintptr_t) == 8 ? static_cast<uintptr_t>(0x7000000000ULL) : 0x70000000u;

  std::string dump = Frames({here + shift, gone_base + 0x1234, 0x42});
  dump += MapsLine(module.start + shift, module.end + shift, module.offset, module.path);
  dump += MapsLine(gone_base, gone_base + 0x10000, 0, "/usr/lib/libgone.so.1");
  dump += "7ffd0000-7ffd1000 rw-p 00000000 00:00 0                          [stack]\n";

  const std::string text = logging::RenderCrashDump(dump, maps);
  std::istringstream lines(text);
  std::vector<std::string> out;
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  ASSERT_EQ(out.size(), 3u) << text;
  EXPECT_EQ(out[0].rfind(" 0# ", 0), 0u) << out[0];
  if (FramesCanBeNamed()) {
    EXPECT_NE(out[0].find("KnownFrameFunction"), std::string::npos) << out[0];
  }
  // Named with its source location or not, the frame ends with its module.
  const std::string in_module = " in " + module.path;
  EXPECT_GT(out[0].size(), in_module.size());
  EXPECT_EQ(out[0].substr(out[0].size() - std::min(out[0].size(), in_module.size())), in_module);
  char gone[64];
  snprintf(gone, sizeof gone, " 1# 0x%0*llx in /usr/lib/libgone.so.1", static_cast<int>(2 * sizeof(uintptr_t)),
           static_cast<unsigned long long>(gone_base + 0x1234));
  EXPECT_EQ(out[1], gone);
  EXPECT_EQ(out[2].rfind(" 2# 0x", 0), 0u) << out[2];
  EXPECT_EQ(out[2].find(" in "), std::string::npos) << out[2];
  EXPECT_EQ(KnownFrameFunction(1), 4);
}

TEST(CrashDumpRender, EmptyOrCutDumpGivesNoFrames) {
  EXPECT_EQ(logging::RenderCrashDump("", ""), "");
  EXPECT_EQ(logging::RenderCrashDump(Frames({}), ""), "");
  // Half a frame at the end is ignored.
  std::string cut = Frames({0x42});
  cut.resize(sizeof(uintptr_t) + 3);
  const std::string text = logging::RenderCrashDump(cut, "");
  EXPECT_EQ(text.rfind(" 0# 0x", 0), 0u) << text;
  EXPECT_EQ(text.find(" 1# "), std::string::npos) << text;
}

}  // namespace
