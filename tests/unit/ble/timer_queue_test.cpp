#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "node/semaphore.h"
#include "node/timer_queue.h"

namespace {

using namespace std::chrono_literals;

// Collects the calls of timer handlers: (tag, cancelled) in call order.
class Calls {
 public:
  std::function<void(bool)> Handler(int tag) {
    return [this, tag](bool cancelled) {
      std::lock_guard<std::mutex> lock(mtx_);
      calls_.push_back({tag, cancelled});
      cv_.notify_all();
    };
  }

  // Waits (generously) until `count` calls were made.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mtx_);
    return cv_.wait_for(lock, 10s, [&] { return calls_.size() >= count; });
  }

  std::vector<std::pair<int, bool>> Get() {
    std::lock_guard<std::mutex> lock(mtx_);
    return calls_;
  }

 private:
  std::mutex mtx_;
  std::condition_variable cv_;
  std::vector<std::pair<int, bool>> calls_;
};

TEST(Semaphore, KeepsNotificationsWithoutWaiter) {
  mutex::Semaphore semaphore;
  semaphore.notify();
  semaphore.notify();
  semaphore.wait();
  EXPECT_TRUE(semaphore.waitUntil(std::chrono::steady_clock::now()));
  EXPECT_FALSE(semaphore.waitUntil(std::chrono::steady_clock::now() + 5ms));
}

TEST(Semaphore, WakesAWaiterOnAnotherThread) {
  mutex::Semaphore semaphore;
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    semaphore.wait();
    woke = true;
  });
  semaphore.notify();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(TimerQueue, AddZeroRunsAtOnceWithFalseAndIdsCountFromOne) {
  Calls calls;
  timer::TimerQueue queue;
  EXPECT_EQ(queue.add(0, calls.Handler(1)), 1u);
  ASSERT_TRUE(calls.WaitFor(1));
  EXPECT_EQ(queue.add(0, calls.Handler(2)), 2u);
  ASSERT_TRUE(calls.WaitFor(2));
  EXPECT_EQ(calls.Get(), (std::vector<std::pair<int, bool>>{{1, false}, {2, false}}));
}

TEST(TimerQueue, EarlierEndRunsFirst) {
  Calls calls;
  timer::TimerQueue queue;
  queue.add(60, calls.Handler(1));
  queue.add(20, calls.Handler(2));
  queue.add(40, calls.Handler(3));
  ASSERT_TRUE(calls.WaitFor(3));
  EXPECT_EQ(calls.Get(), (std::vector<std::pair<int, bool>>{{2, false}, {3, false}, {1, false}}));
}

TEST(TimerQueue, CancelOfPendingCallsOnceWithTrue) {
  Calls calls;
  {
    timer::TimerQueue queue;
    const uint64_t far = queue.add(3600000, calls.Handler(1));
    const uint64_t near = queue.add(50, calls.Handler(2));
    EXPECT_EQ(queue.pending(), 2u);
    EXPECT_EQ(queue.cancel(far), 1u);
    EXPECT_EQ(queue.cancel(far), 0u) << "already cancelled";
    EXPECT_EQ(queue.pending(), 1u);
    ASSERT_TRUE(calls.WaitFor(2));
    EXPECT_EQ(queue.cancel(near), 0u) << "already fired";
    EXPECT_EQ(queue.pending(), 0u) << "the cancelled entry's husk is not pending";
    EXPECT_EQ(queue.cancel(0), 0u);
    EXPECT_EQ(queue.cancel(99), 0u) << "never handed out";
  }
  // The destructor found nothing left to cancel: no call came twice.
  EXPECT_EQ(calls.Get(), (std::vector<std::pair<int, bool>>{{1, true}, {2, false}}));
}

TEST(TimerQueue, CancelledEntryNeverFiresLater) {
  Calls calls;
  timer::TimerQueue queue;
  const uint64_t id = queue.add(30, calls.Handler(1));
  EXPECT_EQ(queue.cancel(id), 1u);
  queue.add(120, calls.Handler(2));
  ASSERT_TRUE(calls.WaitFor(2));
  EXPECT_EQ(calls.Get(), (std::vector<std::pair<int, bool>>{{1, true}, {2, false}}));
}

TEST(TimerQueue, DestructionCallsEveryPendingHandlerWithTrue) {
  Calls calls;
  {
    timer::TimerQueue queue;
    queue.add(3600000, calls.Handler(1));
    queue.add(7200000, calls.Handler(2));
    const uint64_t cancelled = queue.add(3600000, calls.Handler(3));
    queue.cancel(cancelled);
    queue.add(1800000, calls.Handler(4));
  }
  auto result = calls.Get();
  std::sort(result.begin(), result.end());
  EXPECT_EQ(result, (std::vector<std::pair<int, bool>>{{1, true}, {2, true}, {3, true}, {4, true}}));
}

TEST(TimerQueue, CallbackMayAddAndCancelOnItsOwnQueue) {
  Calls calls;
  timer::TimerQueue queue;
  std::atomic<uint64_t> far{0};
  far = queue.add(3600000, calls.Handler(9));
  queue.add(0, [&](bool) {
    EXPECT_EQ(queue.cancel(far), 1u);
    queue.add(0, [&](bool cancelled) {
      queue.add(10, calls.Handler(3));
      calls.Handler(2)(cancelled);
    });
  });
  ASSERT_TRUE(calls.WaitFor(3));
  auto result = calls.Get();
  std::sort(result.begin(), result.end());
  EXPECT_EQ(result, (std::vector<std::pair<int, bool>>{{2, false}, {3, false}, {9, true}}));
}

TEST(TimerQueue, AddsFromManyThreadsAllRun) {
  Calls calls;
  timer::TimerQueue queue;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) queue.add(i % 5, calls.Handler(t * 100 + i));
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(calls.WaitFor(200));
  EXPECT_EQ(calls.Get().size(), 200u);
}

}  // namespace
