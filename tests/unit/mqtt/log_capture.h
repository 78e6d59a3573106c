#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"

// A fixture whose records go to a fresh file that the test reads back.
class LogCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kelvora-mqtt-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "mqtt-app.log").string();
    logging::InitFileLogger(path_, logging::Severity::verbose);
  }
  void TearDown() override {
    logging::Shutdown();
    std::filesystem::remove_all(dir_);
  }

  // The message part of every record ("... [function@line] message").
  std::vector<std::string> Messages() const {
    std::ifstream in(path_);
    std::vector<std::string> messages;
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find("] ", line.find("] [") + 3);
      messages.push_back(at == std::string::npos ? line : line.substr(at + 2));
    }
    return messages;
  }

  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::filesystem::path dir_;
  std::string path_;
};
