#include "log/crash.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <boost/stacktrace.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace logging {
namespace {

constexpr size_t kPathCapacity = 512;
constexpr size_t kMaxFrames = 128;
constexpr const char* kHandlerFunction = "logging::SignalHandler";

// Read by the signal handler: plain storage written only while disarmed.
char g_log_path[kPathCapacity];
char g_dump_path[kPathCapacity];
std::atomic<bool> g_armed{false};
std::atomic<bool> g_console{false};
std::atomic<bool> g_colored{false};
std::atomic<long> g_utc_offset{0};
boost::stacktrace::frame::native_frame_ptr_t g_frames[kMaxFrames + 1];
char g_line[1024];
char g_copy[4096];

const char* SeverityText(Severity severity) {
  switch (severity) {
    case Severity::fatal: return "FATAL";
    case Severity::error: return "ERROR";
    case Severity::warning: return "WARN ";
    case Severity::info: return "INFO ";
    case Severity::debug: return "DEBUG";
    default: return "VERB ";
  }
}

// Appends to a fixed buffer, dropping what does not fit.
class Out {
 public:
  Out(char* data, size_t capacity) : data_(data), capacity_(capacity) {}
  void Char(char c) {
    if (size_ < capacity_) data_[size_++] = c;
  }
  void Text(const char* text) {
    while (*text) Char(*text++);
  }
  void Number(long value, int width) {
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    unsigned long magnitude = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (negative) Char('-');
    for (int i = n; i < width; ++i) Char('0');
    while (n > 0) Char(digits[--n]);
  }
  size_t size() const { return size_; }

 private:
  char* data_;
  size_t capacity_;
  size_t size_ = 0;
};

struct CivilDate {
  long year;
  int month;
  int day;
};

// Gregorian date of a day count since 1970-01-01 (era arithmetic on a
// calendar that starts in March, so the leap day ends the year).
CivilDate DateOfDays(long days) {
  const long shifted = days + 719468;
  const long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const long day_of_era = shifted - era * 146097;
  const long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long month_index = (5 * day_of_year + 2) / 153;
  const int day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
  const int month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
  return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

void CopyPath(char* target, const std::string& path) {
  const size_t n = path.size() < kPathCapacity - 1 ? path.size() : kPathCapacity - 1;
  memcpy(target, path.data(), n);
  target[n] = '\0';
}

// Signal context.
void CrashRecord(int line, const char* text) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const long tid = static_cast<long>(syscall(SYS_gettid));
  const size_t size = FormatRecordSafe(g_line, sizeof g_line, Severity::error, now, g_utc_offset.load(), tid,
                                       kHandlerFunction, line, text);
  const int fd = ::open(g_log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    WriteAll(fd, g_line, size);
    ::close(fd);
  }
  if (g_console.load()) {
    const bool colored = g_colored.load();
    if (colored) WriteAll(STDOUT_FILENO, "\x1b[91m", 5);
    WriteAll(STDOUT_FILENO, g_line, size);
    if (colored) WriteAll(STDOUT_FILENO, "\x1b[0m\x1b[0K", 8);
  }
}

// Signal context.
void CrashDump() {
  const size_t stored = boost::stacktrace::safe_dump_to(g_frames, sizeof g_frames);
  // Addresses of the process's mappings: for the daemon's eyes only.
  const int fd = ::open(g_dump_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (stored == 0) g_frames[0] = nullptr;
  WriteAll(fd, reinterpret_cast<const char*>(g_frames), (stored == 0 ? 1 : stored) * sizeof g_frames[0]);
  const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps >= 0) {
    for (;;) {
      const ssize_t n = ::read(maps, g_copy, sizeof g_copy);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      WriteAll(fd, g_copy, static_cast<size_t>(n));
    }
    ::close(maps);
  }
  ::close(fd);
}

struct Mapping {
  uintptr_t start;
  uintptr_t end;
  uintptr_t offset;
  std::string path;
};

std::vector<Mapping> ParseMaps(const std::string& text) {
  std::vector<Mapping> maps;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    unsigned long long start = 0, end = 0, offset = 0;
    char perms[8] = {};
    int path_at = 0;
    if (sscanf(line.c_str(), "%llx-%llx %7s %llx %*s %*s %n", &start, &end, perms, &offset, &path_at) < 4) continue;
    if (path_at <= 0 || static_cast<size_t>(path_at) >= line.size() || line[path_at] != '/') continue;
    maps.push_back({static_cast<uintptr_t>(start), static_cast<uintptr_t>(end), static_cast<uintptr_t>(offset),
                    line.substr(static_cast<size_t>(path_at))});
  }
  return maps;
}

const Mapping* Containing(const std::vector<Mapping>& maps, uintptr_t address) {
  for (const Mapping& m : maps) {
    if (address >= m.start && address < m.end) return &m;
  }
  return nullptr;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

size_t FormatRecordSafe(char* out, size_t capacity, Severity severity, const struct timespec& time,
                        long utc_offset, long tid, const char* function, int line, const char* text) {
  // time_t is 64 bits where long may be 32 (musl on 32-bit MIPS).
  const int64_t local = static_cast<int64_t>(time.tv_sec) + utc_offset;
  long days = static_cast<long>(local / 86400);
  long seconds_of_day = static_cast<long>(local % 86400);
  if (seconds_of_day < 0) {
    seconds_of_day += 86400;
    --days;
  }
  const CivilDate date = DateOfDays(days);
  Out o(out, capacity);
  o.Number(date.year, 4);
  o.Char('-');
  o.Number(date.month, 2);
  o.Char('-');
  o.Number(date.day, 2);
  o.Char(' ');
  o.Number(seconds_of_day / 3600, 2);
  o.Char(':');
  o.Number(seconds_of_day / 60 % 60, 2);
  o.Char(':');
  o.Number(seconds_of_day % 60, 2);
  o.Char('.');
  o.Number(time.tv_nsec / 1000000, 3);
  o.Char(' ');
  o.Text(SeverityText(severity));
  o.Text(" [");
  o.Number(tid, 0);
  o.Text("] [");
  o.Text(function);
  o.Char('@');
  o.Number(line, 0);
  o.Text("] ");
  o.Text(text);
  o.Char('\n');
  return o.size();
}

void ArmCrashLog(const std::string& log_path) {
  g_armed.store(false);
  g_console.store(false);
  CopyPath(g_log_path, log_path);
  CopyPath(g_dump_path, CrashDumpPath(log_path));
  // Binds the unwinder's symbols now rather than in the first crash.
  boost::stacktrace::safe_dump_to(g_frames, sizeof g_frames);
  g_armed.store(true);
}

void ArmCrashConsole(bool colored) {
  g_colored.store(colored);
  g_console.store(true);
}

void DisarmCrashLog() {
  g_armed.store(false);
  g_console.store(false);
}

void NoteUtcOffset(long utc_offset) { g_utc_offset.store(utc_offset, std::memory_order_relaxed); }

std::string CrashDumpPath(const std::string& log_path) {
  const size_t slash = log_path.find_last_of('/');
  const size_t dot = log_path.find_last_of('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_ext ? log_path.substr(0, dot) : log_path) + ".crash";
}

void WriteCrashRecords(int signal_number) {
  if (!g_armed.load()) return;
  char text[32];
  Out o(text, sizeof text - 1);
  o.Text("Signal Catch : ");
  o.Number(signal_number, 0);
  text[o.size()] = '\0';
  CrashRecord(__LINE__, text);
  CrashRecord(__LINE__, "Terminate program..");
  CrashDump();
}

std::string RenderCrashDump(const std::string& dump, const std::string& current_maps) {
  using Ptr = boost::stacktrace::frame::native_frame_ptr_t;
  std::vector<uintptr_t> addresses;
  size_t at = 0;
  while (at + sizeof(Ptr) <= dump.size()) {
    uintptr_t value = 0;
    memcpy(&value, dump.data() + at, sizeof value);
    at += sizeof(Ptr);
    if (value == 0) break;
    addresses.push_back(value);
  }
  const std::vector<Mapping> then = ParseMaps(dump.substr(at < dump.size() ? at : dump.size()));
  const std::vector<Mapping> now = ParseMaps(current_maps);

  std::ostringstream out;
  for (size_t i = 0; i < addresses.size(); ++i) {
    out << (i < 10 ? " " : "") << i << "# ";
    const uintptr_t address = addresses[i];
    const Mapping* old_map = Containing(then, address);
    const Mapping* new_map = nullptr;
    uintptr_t file_offset = 0;
    if (old_map) {
      file_offset = address - old_map->start + old_map->offset;
      for (const Mapping& m : now) {
        if (m.path == old_map->path && file_offset >= m.offset && file_offset < m.offset + (m.end - m.start)) {
          new_map = &m;
          break;
        }
      }
    }
    if (new_map) {
      const boost::stacktrace::frame frame(reinterpret_cast<Ptr>(new_map->start + (file_offset - new_map->offset)));
      const std::string text = boost::stacktrace::to_string(frame);
      out << text;
      // Boost gives a frame's source location in place of its module, and
      // where it finds no symbol table (a static program) the address alone.
      if ((frame.source_line() != 0 && !frame.source_file().empty()) || text.find(" in ") == std::string::npos) {
        out << " in " << old_map->path;
      }
      out << '\n';
    } else {
      char hex[2 + 2 * sizeof(uintptr_t) + 1];
      snprintf(hex, sizeof hex, "0x%0*llx", static_cast<int>(2 * sizeof(uintptr_t)),
               static_cast<unsigned long long>(address));
      out << hex;
      if (old_map) out << " in " << old_map->path;
      out << '\n';
    }
  }
  return out.str();
}

bool LogPreviousCrash() {
  if (!g_armed.load()) return false;
  const std::string path = g_dump_path;
  if (::access(path.c_str(), F_OK) != 0) return false;
  const std::string trace = RenderCrashDump(ReadWhole(path), ReadWhole("/proc/self/maps"));
  ::unlink(path.c_str());
  // One record, one frame a line.
  if (Enabled(Severity::error)) WriteLines(Severity::error, __PRETTY_FUNCTION__, __LINE__, trace);
  return true;
}

}  // namespace logging
