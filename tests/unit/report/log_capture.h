#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace reporttest {

// Sends the process log to a file of its own for one test.
class LogCapture {
 public:
  explicit LogCapture(logging::Severity severity = logging::Severity::verbose) {
    static int serial = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("kelvora-report-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "report.log").string();
    logging::InitFileLogger(path_, severity);
  }
  ~LogCapture() {
    logging::Shutdown();
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Records of `severity` ("ERROR", "WARN ", ...) whose message is `text`.
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
  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }

  std::filesystem::path dir_;
  std::string path_;
};

}  // namespace reporttest
