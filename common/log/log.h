#pragma once

#include <sstream>
#include <string>

namespace logging {

// Severities, most severe first; a record is written when its severity is at
// or above the logger's maximum.
enum class Severity { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

// Creates the process logger with one rolling file appender (2 MiB x 5 files).
// Calling it again replaces the logger.
void InitFileLogger(const std::string& path, Severity max_severity);

// Adds the colour console appender on standard output (colours only when
// standard output is a terminal, tested once here).
void AddColorConsole();

// Drops the logger; later records go nowhere.
void Shutdown();

bool Enabled(Severity severity);

// The function as written in records: the pretty name cut at the first '('
// and after the last blank outside <...>.
std::string ShortFunctionName(const char* pretty_function);

// Writes one record through every appender. The message stays on the
// record's line: line feed, carriage return and tab become \n, \r and \t,
// the other C0 controls and DEL \xHH, the C1 controls \u00HH, and each byte
// that is not part of well-formed UTF-8 \xHH. A line feed that ends the
// message is kept (an empty line follows the record). Backslashes are not
// doubled: the escapes keep the log readable, they are not for decoding.
void Write(Severity severity, const char* pretty_function, int line, const std::string& message);

// The same for a record of several lines made by the daemon itself (the
// crash trace, one frame a line): its line feeds stay, the rest is escaped.
void WriteLines(Severity severity, const char* pretty_function, int line, const std::string& message);

class Record {
 public:
  Record(Severity severity, const char* pretty_function, int line)
      : severity_(severity), function_(pretty_function), line_(line) {}
  ~Record() { Write(severity_, function_, line_, stream_.str()); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  std::ostream& stream() { return stream_; }

 private:
  Severity severity_;
  const char* function_;
  int line_;
  std::ostringstream stream_;
};

}  // namespace logging

#define KLOG(severity)                                  \
  if (!::logging::Enabled(severity)) {                  \
  } else                                                \
    ::logging::Record(severity, __PRETTY_FUNCTION__, __LINE__).stream()

#define LOG_FATAL KLOG(::logging::Severity::fatal)
#define LOG_ERROR KLOG(::logging::Severity::error)
#define LOG_WARN KLOG(::logging::Severity::warning)
#define LOG_INFO KLOG(::logging::Severity::info)
#define LOG_DEBUG KLOG(::logging::Severity::debug)
#define LOG_VERB KLOG(::logging::Severity::verbose)
