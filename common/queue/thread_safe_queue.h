#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

#include "loop/wakeup.h"

namespace queue {

// Unbounded FIFO shared between producer threads and one consumer, which
// blocks in Wait until a value is pushed (or it is interrupted) and then
// takes every waiting value at once.
template <typename T>
class ThreadSafeQueue {
 public:
  ThreadSafeQueue() = default;
  virtual ~ThreadSafeQueue() = default;
  ThreadSafeQueue(const ThreadSafeQueue&) = delete;
  ThreadSafeQueue& operator=(const ThreadSafeQueue&) = delete;

  void Push(T value) {
    bool was_empty;
    {
      std::lock_guard<std::mutex> lock(entries_lock);
      was_empty = entries.empty();
      entries.push_back(std::move(value));
    }
    // Only the first value wakes the consumer; it takes the rest with it.
    if (was_empty) entries_ready.Give();
  }

  // The front value, or T() when the queue is empty.
  T Pop() {
    std::lock_guard<std::mutex> lock(entries_lock);
    if (entries.empty()) return T();
    T value = std::move(entries.front());
    entries.pop_front();
    return value;
  }

  // Moves every waiting value, oldest first, into `batch` (which the
  // consumer keeps and empties between calls, so that no allocation
  // happens here once it has grown).
  void TakeAll(std::deque<T>& batch) {
    std::lock_guard<std::mutex> lock(entries_lock);
    if (batch.empty()) {
      batch.swap(entries);
    } else {
      for (T& value : entries) batch.push_back(std::move(value));
      entries.clear();
    }
  }

  // Blocks until a value was pushed since the last wait, Interrupt was
  // called, or `deadline` has passed; true unless the deadline ended it.
  // A value that is already waiting returns at once.
  bool WaitUntil(loop::Clock::time_point deadline) { return entries_ready.WaitUntil(deadline); }
  void Wait() { entries_ready.Wait(); }
  // Wakes the consumer without a value (a stop, a timer that is due).
  void Interrupt() { entries_ready.Give(); }
  // What a wait waits for; a signal handler may give it.
  loop::Wakeup& Ready() { return entries_ready; }

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
  loop::Wakeup entries_ready;
};

}  // namespace queue
