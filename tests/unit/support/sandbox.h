#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Moves this process into a private mount and network namespace with fresh
// tmpfs over /var/run and /var/log and loopback up, so that fixed paths such
// as /var/run/ubus/ubus.sock are the test's own. Call before any thread
// starts. Returns false (with a message on stderr) when not permitted.
bool EnterPrivateSandbox();

// A child process, sent SIGTERM (then SIGKILL) and reaped on destruction.
class Process {
 public:
  explicit Process(const std::vector<std::string>& argv);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Sends `signal_number` and waits; returns the wait status or -1.
  int Stop(int signal_number, std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  pid_t pid_ = -1;
};

// Waits until `path` exists.
bool WaitForPath(const std::string& path, std::chrono::milliseconds timeout);

// Starts the bus daemon on /var/run/ubus/ubus.sock and waits for its socket.
std::unique_ptr<Process> StartUbusd();

// Path of a built program, set by CMake (empty when not built).
std::string UbusdPath();

}  // namespace testsupport
