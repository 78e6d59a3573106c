#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace queue {

// Unbounded FIFO shared between producer threads and one polling consumer.
template <typename T>
class ThreadSafeQueue {
 public:
  ThreadSafeQueue() = default;
  virtual ~ThreadSafeQueue() = default;
  ThreadSafeQueue(const ThreadSafeQueue&) = delete;
  ThreadSafeQueue& operator=(const ThreadSafeQueue&) = delete;

  void Push(T value) {
    std::lock_guard<std::mutex> lock(entries_lock);
    entries.push_back(std::move(value));
    entries_ready.notify_one();
  }

  // The front value, or T() when the queue is empty.
  T Pop() {
    std::lock_guard<std::mutex> lock(entries_lock);
    if (entries.empty()) return T();
    T value = std::move(entries.front());
    entries.pop_front();
    return value;
  }

  // A hint for the polling consumer; Pop tests again under the lock.
  bool Empty() const {
    std::lock_guard<std::mutex> lock(entries_lock);
    return entries.empty();
  }

  size_t Size() const {
    std::lock_guard<std::mutex> lock(entries_lock);
    return entries.size();
  }

 private:
  std::deque<T> entries;
  mutable std::mutex entries_lock;
  std::condition_variable entries_ready;
};

}  // namespace queue
