#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "exec.h"

namespace ubustest {

// A child program whose standard output is read line by line; sent SIGTERM
// and reaped on destruction.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      testsupport::ExecProgram(argv);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~Child() {
    Stop(SIGTERM);
    if (out_ >= 0) close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // The next line of output, or "" after `timeout`.
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      struct pollfd pfd = {out_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      const ssize_t n = read(out_, buf, sizeof(buf));
      if (n <= 0) return "";
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  // Signals the child and waits for it; returns the wait status or -1.
  // (The platform's uloop reaps every child while it runs: a child that is
  // already gone counts as stopped.)
  int Stop(int signal_number) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal_number);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || (done < 0 && errno == ECHILD)) {
        const bool reaped_here = done == pid_;
        pid_ = -1;
        return reaped_here ? status : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

// The programs under test; the environment may name others (for instance
// the platform's own ubusd, to check that both speak the same protocol).
inline std::string Program(const char* variable, const char* built) {
  const char* chosen = getenv(variable);
  return chosen && *chosen ? chosen : built;
}
inline std::string UbusdProgram() { return Program("KELVORA_TEST_UBUSD", KELVORA_TEST_UBUSD); }
inline std::string TestdProgram() { return Program("KELVORA_TEST_UBUS_TESTD", KELVORA_TEST_UBUS_TESTD); }
inline std::string ToolProgram() { return Program("KELVORA_TEST_UBUS_TOOL", KELVORA_TEST_UBUS_TOOL); }

// Waits until `ready` holds, polling every millisecond.
template <typename Predicate>
bool WaitUntil(Predicate ready, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace ubustest
