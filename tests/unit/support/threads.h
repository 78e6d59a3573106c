#pragma once

#include <cstddef>
#include <filesystem>

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

}  // namespace testsupport
