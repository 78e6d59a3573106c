#pragma once

#include <atomic>
#include <deque>

#include "loop/signals.h"
#include "loop/wakeup.h"
#include "mailbox/mailbox.h"

namespace loop {

// What a pass of the main loop asks for: whether to go on, and the latest
// time of the next pass when no message comes before it.
struct Next {
  bool go_on = true;
  Clock::time_point at = Clock::time_point::max();
};

// The main loop of every daemon. It blocks until a message arrives in `box`
// (none: the daemon's main thread consumes no mailbox) or its wake-up is
// given, a stop signal comes, or the time the last pass asked for has
// passed; it never wakes otherwise.
// Each pass hands every waiting message, oldest first, to `pass` at once:
// `pass(batch)` handles and pops them from the front and returns what Next
// says; what it leaves in `batch` when it stops goes to `drop`. A stop
// signal is logged, clears `running` and runs `on_stop` on this thread.
template <typename Pass, typename Drop, typename OnStop>
void MainLoop(std::atomic<bool>& running, mailbox::Mailbox* box, Pass pass, Drop drop, OnStop on_stop) {
  static Wakeup own;
  Wakeup& wakeup = box ? box->Ready() : own;
  logging::WakeOnStopSignal(&wakeup);
  std::deque<mailbox::Message> batch;
  Clock::time_point next = Clock::now();
  // A give without a message (a helper thread saw work for the loop) runs
  // a pass too.
  bool woken = true;
  while (running.load()) {
    if (const int signal_number = logging::TakeStopSignal()) {
      logging::LogStopSignal(signal_number);
      running.store(false);
      on_stop();
      break;
    }
    if (box) box->TakeAll(batch);
    if (!batch.empty() || woken || Clock::now() >= next) {
      woken = false;
      const Next asked = pass(batch);
      if (!asked.go_on) {
        running.store(false);
        break;
      }
      next = asked.at;
      continue;  // before waiting, look for what came meanwhile
    }
    woken = wakeup.WaitUntil(next);
  }
  logging::WakeOnStopSignal(nullptr);
  for (mailbox::Message& message : batch) drop(message);
}

}  // namespace loop

namespace logging {

// The main loop of a daemon whose main thread only waits for its stop:
// blocks until a stop signal, which is logged, clears `running` and runs
// `on_stop` on this thread.
template <typename OnStop>
void IdleLoop(std::atomic<bool>& running, OnStop on_stop) {
  loop::MainLoop(
      running, nullptr, [](std::deque<mailbox::Message>&) { return loop::Next{}; },
      [](mailbox::Message&) {}, on_stop);
}

}  // namespace logging
