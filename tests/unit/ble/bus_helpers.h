#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "exec.h"
#include "ipc/ubus.h"
#include "sandbox.h"

namespace bletest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A fresh directory under the temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    static int serial = 0;
    path_ = fs::temp_directory_path() /
            ("kelvora-ble-bus-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Whether the bus has an object of that name (asked with the ubus tool).
inline bool ObjectOnBus(const std::string& name) {
  const std::string command = testsupport::RunPrefixForShell() + "'" + KELVORA_UBUS_CLI + "' list '" + name + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// `ubus listen EVENT` in a child process, its lines collected in a file.
class EventWatcher {
 public:
  explicit EventWatcher(const std::string& event) : event_(event), file_(dir_.path() / "events") {
    process_ = std::make_unique<testsupport::Process>(std::vector<std::string>{
        "/bin/sh", "-c", "exec ${KELVORA_RUN_PREFIX:-} \"$0\" listen \"$1\" > \"$2\"", KELVORA_UBUS_CLI, event, file_.string()});
  }

  // Sends probe events until the listener shows one; later lines are the
  // test's own.
  bool Ready() {
    for (int probe = 0; probe < 200; ++probe) {
      ipc::UBUS ubus(30);
      ubus.Event(event_.c_str(), "{\"type\":\"probe\",\"n\":" + std::to_string(probe) + "}");
      if (WaitUntil([&] { return !ReadLines(file_).empty(); }, 50ms)) {
        // Let any further probes in flight arrive before taking the baseline.
        std::this_thread::sleep_for(50ms);
        baseline_ = ReadLines(file_).size();
        return true;
      }
    }
    return false;
  }

  // Lines received after Ready(), probes left out.
  std::vector<std::string> Lines() const {
    const auto lines = ReadLines(file_);
    std::vector<std::string> own;
    for (size_t i = baseline_; i < lines.size(); ++i) {
      if (lines[i].find("\"type\":\"probe\"") == std::string::npos) own.push_back(lines[i]);
    }
    return own;
  }

  bool WaitForLines(size_t count) {
    return WaitUntil([&] { return Lines().size() >= count; });
  }

 private:
  std::string event_;
  TempDir dir_;
  fs::path file_;
  size_t baseline_ = 0;
  std::unique_ptr<testsupport::Process> process_;
};

}  // namespace bletest
