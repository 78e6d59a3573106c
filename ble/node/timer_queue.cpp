#include "node/timer_queue.h"

#include <algorithm>
#include <utility>

namespace timer {

using Clock = std::chrono::steady_clock;

TimerQueue::TimerQueue() { thread = std::thread(&TimerQueue::run, this); }

TimerQueue::~TimerQueue() {
  cancelAll();
  add(0, [this](bool) { finish = true; });
  thread.join();
}

void TimerQueue::push(WorkItem item) {
  items.push_back(std::move(item));
  std::push_heap(items.begin(), items.end(), Later());
}

uint64_t TimerQueue::add(int64_t milliseconds, std::function<void(bool)> handler) {
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mtx);
    id = ++idCounter;
    push(WorkItem{end, id, std::move(handler)});
  }
  checkWork.notify();
  return id;
}

size_t TimerQueue::cancel(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mtx);
    const auto found = std::find_if(items.begin(), items.end(), [id](const WorkItem& item) {
      return item.id == id && item.handler;
    });
    if (found == items.end()) return 0;
    // The old entry stays where it is (the heap order is untouched) with an
    // empty handler; a new entry due at once carries the handler.
    std::function<void(bool)> handler = std::move(found->handler);
    found->handler = nullptr;
    push(WorkItem{Clock::time_point(), 0, std::move(handler)});
  }
  checkWork.notify();
  return 1;
}

void TimerQueue::cancelAll() {
  {
    std::lock_guard<std::mutex> lock(mtx);
    // Every entry ends up due at the clock's epoch, so the heap stays valid.
    for (auto& item : items) {
      if (item.id != 0) {
        item.end = Clock::time_point();
        item.id = 0;
      }
    }
  }
  checkWork.notify();
}

size_t TimerQueue::pending() const {
  std::lock_guard<std::mutex> lock(mtx);
  return std::count_if(items.begin(), items.end(), [](const WorkItem& item) { return item.id != 0 && item.handler; });
}

void TimerQueue::run() {
  while (!finish) {
    bool pending = false;
    Clock::time_point end;
    {
      std::lock_guard<std::mutex> lock(mtx);
      while (!items.empty()) {
        if (!items.front().handler) {
          std::pop_heap(items.begin(), items.end(), Later());
          items.pop_back();
          continue;
        }
        pending = true;
        end = items.front().end;
        break;
      }
    }
    if (pending) {
      checkWork.waitUntil(end);
    } else {
      checkWork.wait();
    }
    runDue();
  }
}

void TimerQueue::runDue() {
  std::unique_lock<std::mutex> lock(mtx);
  while (!items.empty() && items.front().end <= Clock::now()) {
    std::pop_heap(items.begin(), items.end(), Later());
    std::function<void(bool)> handler = std::move(items.back().handler);
    const bool cancelled = items.back().id == 0;
    items.pop_back();
    lock.unlock();
    if (handler) handler(cancelled);
    handler = nullptr;  // whatever it holds is released without the lock
    lock.lock();
  }
}

}  // namespace timer
