#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "log/log.h"

namespace testsupport {

// One log record as written: severity column and message text.
struct LogRecord {
  std::string severity;  // "ERROR", "VERB " ...
  std::string message;
};

// Points the process logger at a fresh file for the life of the object.
// Records read back as "date time SEVER [tid] [function@line] message".
class LogCapture {
 public:
  explicit LogCapture(logging::Severity severity = logging::Severity::verbose) {
    static int serial = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("kelvora-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "test.log").string();
    logging::InitFileLogger(path_, severity);
  }
  ~LogCapture() {
    logging::Shutdown();
    std::filesystem::remove_all(dir_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<LogRecord> Records() const {
    std::vector<LogRecord> records;
    for (const std::string& line : Lines()) {
      records.push_back({line.size() >= 29 ? line.substr(24, 5) : std::string(), MessageOf(line)});
    }
    return records;
  }

  // The message of every record.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const std::string& line : Lines()) messages.push_back(MessageOf(line));
    return messages;
  }

  // The messages of the records of `severity`.
  std::vector<std::string> Messages(const std::string& severity) const {
    std::vector<std::string> messages;
    for (const auto& record : Records()) {
      if (record.severity == severity) messages.push_back(record.message);
    }
    return messages;
  }

  // Records of `severity` whose message is `text`.
  size_t Count(const std::string& severity, const std::string& text) const {
    const auto lines = Lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(" " + severity + " [") != std::string::npos && EndsWith(line, "] " + text);
    }));
  }

  // Records of `severity` whose message contains `text`.
  size_t CountContaining(const std::string& severity, const std::string& text) const {
    const auto lines = Lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(" " + severity + " [") != std::string::npos && line.find(text) != std::string::npos;
    }));
  }

  // Records of `severity`.
  size_t Count(const std::string& severity) const { return CountContaining(severity, ""); }

 private:
  // The text after "[function@line] ", or the whole line.
  static std::string MessageOf(const std::string& line) {
    const auto function = line.find("] [");
    const auto end = function == std::string::npos ? function : line.find("] ", function + 3);
    return end == std::string::npos ? line : line.substr(end + 2);
  }

  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }

  std::filesystem::path dir_;
  std::string path_;
};

// A fixture whose whole test logs into a LogCapture.
class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override { log_.emplace(); }
  void TearDown() override { log_.reset(); }

  std::vector<std::string> Messages() const { return log_->Messages(); }
  std::vector<std::string> Lines() const { return log_->Lines(); }

  std::optional<LogCapture> log_;
};

}  // namespace testsupport
