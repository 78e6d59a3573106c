#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace bletest {

// One log record as written: severity column and message text.
struct LogRecord {
  std::string severity;  // "ERROR", "VERB " ...
  std::string message;
};

// Points the process logger at a fresh file for the life of the object.
class LogCapture {
 public:
  LogCapture() {
    static int serial = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("kelvora-ble-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".log");
    std::filesystem::remove(path_);
    logging::InitFileLogger(path_.string(), logging::Severity::verbose);
  }
  ~LogCapture() {
    logging::Shutdown();
    std::filesystem::remove(path_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // "date time SEVER [tid] [function@line] message"
  std::vector<LogRecord> Records() const {
    std::vector<LogRecord> records;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      LogRecord record;
      record.severity = line.size() >= 29 ? line.substr(24, 5) : std::string();
      const auto function = line.find("] [");
      const auto end = function == std::string::npos ? function : line.find("] ", function + 3);
      record.message = end == std::string::npos ? line : line.substr(end + 2);
      records.push_back(record);
    }
    return records;
  }

  std::vector<std::string> Messages(const std::string& severity) const {
    std::vector<std::string> messages;
    for (const auto& record : Records()) {
      if (record.severity == severity) messages.push_back(record.message);
    }
    return messages;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace bletest
