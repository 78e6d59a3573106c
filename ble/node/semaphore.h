#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mutex {

// Counting semaphore; a notify without a waiter is kept in the count.
class Semaphore {
 public:
  Semaphore() = default;
  virtual ~Semaphore() = default;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void notify() {
    std::lock_guard<std::mutex> lock(mtx);
    ++count;
    cv.notify_one();
  }

  void wait() {
    std::unique_lock<std::mutex> lock(mtx);
    cv.wait(lock, [this] { return count > 0; });
    --count;
  }

  // True when a notification was taken before the (monotonic) deadline.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mtx);
    if (!cv.wait_until(lock, deadline, [this] { return count > 0; })) return false;
    --count;
    return true;
  }

 private:
  std::mutex mtx;
  std::condition_variable cv;
  unsigned int count = 0;
};

}  // namespace mutex
