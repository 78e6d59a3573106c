#pragma once

#include <semaphore.h>

#include <chrono>

namespace loop {

using Clock = std::chrono::steady_clock;

// A wake-up that any thread, or a signal handler, gives and one thread waits
// for. Gives that come while nobody waits are kept, so none is lost between a
// check of the waiter's work and its wait; several of them wake it once.
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // Async-signal-safe.
  void Give();
  // Blocks until a give, or until `deadline` (steady clock) has passed;
  // true when woken by a give. Clock::time_point::max() waits without end.
  bool WaitUntil(Clock::time_point deadline);
  void Wait() { WaitUntil(Clock::time_point::max()); }

 private:
  // Takes the gives that piled up, so that they cost one pass.
  void TakeRest();

  sem_t sem;
};

}  // namespace loop
