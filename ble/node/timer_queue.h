#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "node/semaphore.h"

namespace timer {

// Runs callbacks after a delay on a thread of its own. A cancelled callback
// is still called once, promptly, with true; a fired one with false.
// Callbacks run without the queue's lock, so they may add or cancel.
class TimerQueue {
 public:
  TimerQueue();
  // Calls every pending callback with true, then ends the timer thread.
  // Must not run on the timer thread itself.
  ~TimerQueue();
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // Schedules `handler` at now + `milliseconds`; returns its id (from 1 up).
  uint64_t add(int64_t milliseconds, std::function<void(bool)> handler);

  // 1 when a pending, not yet cancelled entry had `id`, else 0.
  size_t cancel(uint64_t id);

  void cancelAll();

  // Entries still to fire: neither fired nor cancelled.
  size_t pending() const;

 private:
  struct WorkItem {
    std::chrono::steady_clock::time_point end;
    uint64_t id;  // 0: cancelled
    std::function<void(bool)> handler;  // empty: skip
  };
  // Orders the heap so that the earliest end is on top.
  struct Later {
    bool operator()(const WorkItem& a, const WorkItem& b) const { return a.end > b.end; }
  };

  void run();
  void runDue();
  void push(WorkItem item);

  mutex::Semaphore checkWork;  // wakes the timer thread when the timers change
  std::thread thread;  // started by the constructor, after every other member
  bool finish = false;
  uint64_t idCounter = 0;
  mutable std::mutex mtx;
  std::vector<WorkItem> items;
};

}  // namespace timer
