// How the daemons' consumers wait: blocked until there is work, every
// waiting message per wake-up, in order; a stop ends a blocked wait.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loop/main_loop.h"
#include "loop/signals.h"
#include "loop/wakeup.h"
#include "mailbox/mailbox.h"

namespace {

using namespace std::chrono_literals;
using loop::Clock;

long VoluntarySwitches(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

TEST(Wakeup, KeepsAGiveThatCameBeforeTheWaitAndTimesOutOtherwise) {
  loop::Wakeup wakeup;
  wakeup.Give();
  wakeup.Give();
  EXPECT_TRUE(wakeup.WaitUntil(Clock::now() + 10s));
  // Both gives were taken by the one wait.
  EXPECT_FALSE(wakeup.WaitUntil(Clock::now() + 20ms));
  EXPECT_FALSE(wakeup.WaitUntil(Clock::now() - 1s));
}

TEST(MailboxWait, BlockedConsumerSleepsUntilAPushWakesIt) {
  mailbox::Mailbox box;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> woke{false};
  std::thread consumer([&] {
    tid.store(ThreadId());
    woke.store(box.WaitUntil(Clock::now() + 30s));
  });
  while (tid.load() == 0) std::this_thread::yield();
  std::this_thread::sleep_for(50ms);
  const long before = VoluntarySwitches(tid.load());
  std::this_thread::sleep_for(300ms);
  const long idle = VoluntarySwitches(tid.load()) - before;
  ASSERT_GE(before, 0);
  // A consumer that polled every 10 ms would have woken about 30 times.
  EXPECT_LE(idle, 1);
  EXPECT_FALSE(woke.load());

  int payload = 1;
  mailbox::Post(box, mailbox::Message(0x2000, &payload));
  consumer.join();
  EXPECT_TRUE(woke.load());
  std::deque<mailbox::Message> batch;
  box.TakeAll(batch);
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch.front().data, &payload);
}

TEST(MailboxWait, InterruptEndsABlockedWaitWithoutAMessage) {
  mailbox::Mailbox box;
  std::atomic<bool> woke{false};
  std::thread consumer([&] { woke.store(box.WaitUntil(Clock::now() + 30s)); });
  std::this_thread::sleep_for(20ms);
  box.Interrupt();
  consumer.join();
  EXPECT_TRUE(woke.load());
  EXPECT_TRUE(box.Empty());
}

TEST(MailboxWait, TakeAllGivesEveryWaitingMessageInOrder) {
  mailbox::Mailbox box;
  std::deque<mailbox::Message> batch;
  box.TakeAll(batch);
  EXPECT_TRUE(batch.empty());
  for (int i = 0; i < 100; ++i) mailbox::Post(box, 0x2000 + i, std::make_unique<int>(i));
  box.TakeAll(batch);
  ASSERT_EQ(batch.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(batch[i].type, static_cast<uint32_t>(0x2000 + i));
    std::unique_ptr<int> value(static_cast<int*>(batch[i].data));
    EXPECT_EQ(*value, i);
  }
  EXPECT_TRUE(box.Empty());
  // A batch that still holds values keeps them in front of the new ones.
  batch.resize(1);
  batch.front() = mailbox::Message(0x2001, nullptr);
  mailbox::Post(box, mailbox::Message(0x2002, nullptr));
  box.TakeAll(batch);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0].type, 0x2001u);
  EXPECT_EQ(batch[1].type, 0x2002u);
}

TEST(MailboxWait, TypedPostFreesThePayloadOfARefusedCode) {
  mailbox::Mailbox box;
  auto payload = std::make_shared<int>(5);
  std::weak_ptr<int> watch = payload;
  EXPECT_THROW(mailbox::Post(box, 0x3000, std::make_unique<std::shared_ptr<int>>(std::move(payload))),
               std::runtime_error);
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(box.Empty());
}

// The main loop, fed by several producers: every message handled once, in
// each producer's order, and messages that wait together in one pass.
TEST(MainLoop, HandlesEveryWaitingMessageInOrderPerPass) {
  mailbox::Mailbox box;
  std::atomic<bool> running{true};
  for (int i = 0; i < 50; ++i) mailbox::Post(box, mailbox::Message(0x2000, new int(i)));
  std::vector<size_t> passes;
  std::vector<int> seen;
  constexpr int kTotal = 50 + 2 * 2000;
  std::thread producers[2];
  std::vector<int> next(3, 0);
  next[0] = 50;
  bool ordered = true;
  loop::MainLoop(
      running, &box,
      [&](std::deque<mailbox::Message>& batch) {
        if (passes.empty()) {
          for (int p = 1; p <= 2; ++p) {
            producers[p - 1] = std::thread([&box, p] {
              for (int i = 0; i < 2000; ++i) mailbox::Post(box, mailbox::Message(0x2000 + p, new int(i)));
            });
          }
        }
        passes.push_back(batch.size());
        for (; !batch.empty(); batch.pop_front()) {
          std::unique_ptr<int> value(static_cast<int*>(batch.front().data));
          const int producer = static_cast<int>(batch.front().type - 0x2000);
          if (producer == 0) {
            ordered = ordered && *value == static_cast<int>(seen.size());
          } else {
            ordered = ordered && *value == next[producer];
            ++next[producer];
          }
          seen.push_back(*value);
        }
        return loop::Next{static_cast<int>(seen.size()) < kTotal};
      },
      [](mailbox::Message&) {}, [] {});
  for (auto& t : producers) t.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kTotal));
  ASSERT_FALSE(passes.empty());
  // What waited before the loop started came in its first pass.
  EXPECT_EQ(passes.front(), 50u);
  EXPECT_FALSE(running.load());
}

TEST(MainLoop, RunsAPassWhenTheAskedTimeComesWithoutMessages) {
  mailbox::Mailbox box;
  std::atomic<bool> running{true};
  int passes = 0;
  loop::MainLoop(
      running, &box,
      [&](std::deque<mailbox::Message>& batch) {
        EXPECT_TRUE(batch.empty());
        ++passes;
        return loop::Next{passes < 3, Clock::now() + 20ms};
      },
      [](mailbox::Message&) {}, [] {});
  EXPECT_EQ(passes, 3);
}

// A helper thread that sees work for the loop (the MQTT client after a
// reconnection) gives the mailbox's wake-up: a pass runs without a message.
TEST(MainLoop, AGiveWithoutAMessageRunsAPass) {
  mailbox::Mailbox box;
  std::atomic<bool> running{true};
  std::atomic<int> passes{0};
  std::thread helper([&] {
    while (passes.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    box.Interrupt();
  });
  loop::MainLoop(
      running, &box,
      [&](std::deque<mailbox::Message>& batch) {
        EXPECT_TRUE(batch.empty());
        return loop::Next{passes.fetch_add(1) + 1 < 2};
      },
      [](mailbox::Message&) {}, [] {});
  helper.join();
  EXPECT_EQ(passes.load(), 2);
}

// A stop signal ends a loop that is blocked with nothing to do; what was
// not handled goes to the drop function.
TEST(MainLoop, StopSignalWakesABlockedLoop) {
  mailbox::Mailbox box;
  std::atomic<bool> running{true};
  std::atomic<int> stops{0};
  int dropped = 0;
  std::thread signaller([] {
    std::this_thread::sleep_for(100ms);
    logging::SignalHandler(SIGTERM);
  });
  int passes = 0;
  loop::MainLoop(
      running, &box,
      [&](std::deque<mailbox::Message>&) {
        ++passes;
        return loop::Next{};
      },
      [&](mailbox::Message&) { ++dropped; }, [&] { stops.fetch_add(1); });
  signaller.join();
  EXPECT_EQ(stops.load(), 1);
  EXPECT_FALSE(running.load());
  // One pass at the start (nothing due after it), none while blocked.
  EXPECT_EQ(passes, 1);
  EXPECT_EQ(dropped, 0);
  EXPECT_EQ(logging::TakeStopSignal(), 0);
}

TEST(MainLoop, LeavesTheRestOfAStoppedPassToDrop) {
  mailbox::Mailbox box;
  std::atomic<bool> running{true};
  for (int i = 0; i < 5; ++i) mailbox::Post(box, mailbox::Message(0x2000 + i, nullptr));
  std::vector<uint32_t> handled, dropped;
  loop::MainLoop(
      running, &box,
      [&](std::deque<mailbox::Message>& batch) {
        handled.push_back(batch.front().type);
        batch.pop_front();
        handled.push_back(batch.front().type);
        batch.pop_front();
        return loop::Next{false};
      },
      [&](mailbox::Message& m) { dropped.push_back(m.type); }, [] {});
  EXPECT_EQ(handled, (std::vector<uint32_t>{0x2000, 0x2001}));
  EXPECT_EQ(dropped, (std::vector<uint32_t>{0x2002, 0x2003, 0x2004}));
}

}  // namespace
