#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <thread>

namespace testsupport {

// Threads of this process, as the kernel lists them.
inline size_t ThreadCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
}

// The thread count once it has become `expected`, or the last count seen
// after `timeout`: a joined thread can stay listed a moment after the join
// returned (under qemu-user the host thread ends after the guest's join).
inline size_t ThreadCountOnceItIs(size_t expected,
                                  std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t count = ThreadCount();
  while (count != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    count = ThreadCount();
  }
  return count;
}

}  // namespace testsupport
