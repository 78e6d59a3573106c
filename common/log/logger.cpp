#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "log/crash.h"
#include "log/log.h"
#include "log/sinks.h"
#include "text/utf8.h"

namespace logging {
namespace {

constexpr size_t kMaxFileBytes = 2097152;
constexpr size_t kMaxFiles = 5;

std::atomic<int> g_max_severity{static_cast<int>(Severity::none)};
std::shared_ptr<spdlog::logger> g_logger;
std::mutex g_setup_lock;
std::shared_ptr<RollingFileSink> g_file_sink;
std::shared_ptr<ColorConsoleSink> g_console_sink;

spdlog::level::level_enum ToLevel(Severity severity) {
  switch (severity) {
    case Severity::fatal: return spdlog::level::critical;
    case Severity::error: return spdlog::level::err;
    case Severity::warning: return spdlog::level::warn;
    case Severity::info: return spdlog::level::info;
    case Severity::debug: return spdlog::level::debug;
    case Severity::verbose: return spdlog::level::trace;
    default: return spdlog::level::off;
  }
}

const char* SeverityText(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::critical: return "FATAL";
    case spdlog::level::err: return "ERROR";
    case spdlog::level::warn: return "WARN ";
    case spdlog::level::info: return "INFO ";
    case spdlog::level::debug: return "DEBUG";
    default: return "VERB ";
  }
}

// "2026-12-08 20:27:47.123 ERROR [12345] [Func@42] message\n"
void FormatLine(spdlog::level::level_enum level, std::chrono::system_clock::time_point time, long tid,
                const char* function, int line, const char* text, size_t text_size,
                spdlog::memory_buf_t& dest) {
  using namespace std::chrono;
  const auto since_epoch = time.time_since_epoch();
  const time_t seconds = static_cast<time_t>(duration_cast<std::chrono::seconds>(since_epoch).count());
  const long millis = static_cast<long>(duration_cast<milliseconds>(since_epoch).count() % 1000);
  struct tm local {};
  localtime_r(&seconds, &local);
  // The crash path cannot call localtime; it uses the offset seen last here.
  NoteUtcOffset(local.tm_gmtoff);
  char head[96];
  const int n = snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s [%ld] [",
                         local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                         local.tm_min, local.tm_sec, millis, SeverityText(level), tid);
  dest.append(head, head + n);
  dest.append(function, function + strlen(function));
  char tail[24];
  const int m = snprintf(tail, sizeof tail, "@%d] ", line);
  dest.append(tail, tail + m);
  dest.append(text, text + text_size);
  dest.push_back('\n');
}

class LineFormatter : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    FormatLine(msg.level, msg.time, static_cast<long>(syscall(SYS_gettid)), msg.source.funcname ? msg.source.funcname : "", msg.source.line,
               msg.payload.data(), msg.payload.size(), dest);
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<LineFormatter>();
  }
};

// Printable ASCII alone: nothing to escape.
bool Plain(const std::string& message) {
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) return false;
  }
  return true;
}

// A backslash, `kind` and `digits` lower-case hexadecimal digits (x1b, u009b).
void AppendEscape(char kind, unsigned value, int digits, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out += '\\';
  out += kind;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// The message as Write and WriteLines put it in the record (see log.h).
std::string Escaped(const std::string& message, bool keep_line_feeds) {
  const auto* at = reinterpret_cast<const unsigned char*>(message.data());
  const unsigned char* end = at + message.size();
  const bool final_line_feed = at != end && end[-1] == '\n';
  if (final_line_feed) --end;
  std::string out;
  out.reserve(message.size() + 16);
  while (at < end) {
    const text::Utf8Step step = text::NextUtf8(at, end);
    if (!step.valid) {
      for (size_t i = 0; i < step.length; ++i) AppendEscape('x', at[i], 2, out);
    } else if (step.code_point == '\n') {
      out += keep_line_feeds ? "\n" : "\\n";
    } else if (step.code_point == '\r') {
      out += "\\r";
    } else if (step.code_point == '\t') {
      out += "\\t";
    } else if (text::IsControl(step.code_point)) {
      const bool c0 = step.code_point < 0x80;
      AppendEscape(c0 ? 'x' : 'u', static_cast<unsigned>(step.code_point), c0 ? 2 : 4, out);
    } else {
      out.append(reinterpret_cast<const char*>(at), step.length);
    }
    at += step.length;
  }
  if (final_line_feed) out += '\n';
  return out;
}

void WriteRecord(Severity severity, const char* pretty_function, int line, const std::string& message,
                 bool keep_line_feeds) {
  auto logger = std::atomic_load(&g_logger);
  if (!logger) return;
  const std::string function = ShortFunctionName(pretty_function);
  const spdlog::source_loc location{"", line, function.c_str()};
  if (Plain(message)) {
    logger->log(location, ToLevel(severity), spdlog::string_view_t(message.data(), message.size()));
    return;
  }
  const std::string text = Escaped(message, keep_line_feeds);
  logger->log(location, ToLevel(severity), spdlog::string_view_t(text.data(), text.size()));
}

}  // namespace

RollingFileSink::RollingFileSink(std::string path, size_t max_bytes, size_t max_files)
    : path_(std::move(path)), max_bytes_(max_bytes), max_files_(max_files < 1 ? 1 : max_files) {
  set_formatter(std::make_unique<LineFormatter>());
  Open();
}

RollingFileSink::~RollingFileSink() {
  const int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

std::string RollingFileSink::RolledName(size_t index) const {
  const size_t slash = path_.find_last_of('/');
  const size_t dot = path_.find_last_of('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = has_ext ? path_.substr(0, dot) : path_;
  const std::string ext = has_ext ? path_.substr(dot) : std::string();
  return stem + "." + std::to_string(index) + ext;
}

void RollingFileSink::Open() {
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  struct stat st {};
  size_ = (fd >= 0 && fstat(fd, &st) == 0) ? static_cast<size_t>(st.st_size) : 0;
  const int old = fd_.exchange(fd);
  if (old >= 0) ::close(old);
}

void RollingFileSink::Roll() {
  const int old = fd_.exchange(-1);
  if (old >= 0) ::close(old);
  if (max_files_ > 1) {
    ::unlink(RolledName(max_files_ - 1).c_str());
    for (size_t i = max_files_ - 1; i > 1; --i) {
      ::rename(RolledName(i - 1).c_str(), RolledName(i).c_str());
    }
    ::rename(path_.c_str(), RolledName(1).c_str());
  } else {
    ::unlink(path_.c_str());
  }
  Open();
}

void RollingFileSink::sink_it_(const spdlog::details::log_msg& msg) {
  if (size_ > max_bytes_) Roll();
  spdlog::memory_buf_t line;
  formatter_->format(msg, line);
  const int fd = fd_.load();
  if (fd < 0) {
    Open();  // the directory may have appeared since
    if (fd_.load() < 0) return;
  }
  WriteAll(fd_.load(), line.data(), line.size());
  size_ += line.size();
}

ColorConsoleSink::ColorConsoleSink() : colored_(isatty(STDOUT_FILENO) == 1) {
  set_formatter(std::make_unique<LineFormatter>());
}

std::string ColorConsoleSink::ColorFor(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::critical: return "\x1b[97m\x1b[41m";
    case spdlog::level::err: return "\x1b[91m";
    case spdlog::level::warn: return "\x1b[93m";
    case spdlog::level::debug:
    case spdlog::level::trace: return "\x1b[96m";
    default: return std::string();
  }
}

void ColorConsoleSink::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t line;
  if (colored_) {
    const std::string color = ColorFor(msg.level);
    line.append(color.data(), color.data() + color.size());
  }
  formatter_->format(msg, line);
  if (colored_) {
    static const char reset[] = "\x1b[0m\x1b[0K";
    line.append(reset, reset + sizeof reset - 1);
  }
  WriteAll(STDOUT_FILENO, line.data(), line.size());
}

void InitFileLogger(const std::string& path, Severity max_severity) {
  std::lock_guard<std::mutex> lock(g_setup_lock);
  g_file_sink = std::make_shared<RollingFileSink>(path, kMaxFileBytes, kMaxFiles);
  g_console_sink.reset();
  auto logger = std::make_shared<spdlog::logger>("kelvora", g_file_sink);
  logger->set_level(ToLevel(max_severity));
  logger->flush_on(spdlog::level::trace);
  std::atomic_store(&g_logger, logger);
  g_max_severity.store(static_cast<int>(max_severity));
  // Seeds the zone offset for the crash path before any record is written.
  struct tm local {};
  const time_t now = time(nullptr);
  localtime_r(&now, &local);
  NoteUtcOffset(local.tm_gmtoff);
  ArmCrashLog(path);
}

void AddColorConsole() {
  std::lock_guard<std::mutex> lock(g_setup_lock);
  auto logger = std::atomic_load(&g_logger);
  if (!logger) return;
  g_console_sink = std::make_shared<ColorConsoleSink>();
  logger->sinks().push_back(g_console_sink);
  ArmCrashConsole(g_console_sink->Colored());
}

void Shutdown() {
  std::lock_guard<std::mutex> lock(g_setup_lock);
  DisarmCrashLog();
  g_max_severity.store(static_cast<int>(Severity::none));
  std::atomic_store(&g_logger, std::shared_ptr<spdlog::logger>());
  g_console_sink.reset();
  g_file_sink.reset();
}

bool Enabled(Severity severity) {
  return severity != Severity::none && static_cast<int>(severity) <= g_max_severity.load(std::memory_order_relaxed);
}

std::string ShortFunctionName(const char* pretty_function) {
  std::string name(pretty_function ? pretty_function : "");
  // clang spells GCC's "{anonymous}" with a parenthesis, before the cut.
  static const std::string kClangAnonymous = "(anonymous namespace)";
  for (size_t at = name.find(kClangAnonymous); at != std::string::npos; at = name.find(kClangAnonymous, at)) {
    name.replace(at, kClangAnonymous.size(), "{anonymous}");
  }
  const size_t paren = name.find('(');
  if (paren != std::string::npos) name.resize(paren);
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '<') {
      ++depth;
    } else if (c == '>') {
      if (depth > 0) --depth;
    } else if (c == ' ' && depth == 0) {
      start = i + 1;
    }
  }
  return name.substr(start);
}

void Write(Severity severity, const char* pretty_function, int line, const std::string& message) {
  WriteRecord(severity, pretty_function, line, message, false);
}

void WriteLines(Severity severity, const char* pretty_function, int line, const std::string& message) {
  WriteRecord(severity, pretty_function, line, message, true);
}

std::string FormatRecord(Severity severity, std::chrono::system_clock::time_point time, long tid,
                         const char* function, int line, const std::string& text) {
  spdlog::memory_buf_t line_text;
  FormatLine(ToLevel(severity), time, tid, function, line, text.data(), text.size(), line_text);
  return std::string(line_text.data(), line_text.size());
}

}  // namespace logging
