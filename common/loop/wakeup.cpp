#include "loop/wakeup.h"

#include <time.h>

#include <cerrno>
#include <ctime>

namespace loop {
namespace {

timespec ToTimespec(std::chrono::nanoseconds since_epoch) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((since_epoch - seconds).count())};
}

}  // namespace

Wakeup::Wakeup() { sem_init(&sem, 0, 0); }

Wakeup::~Wakeup() { sem_destroy(&sem); }

void Wakeup::Give() { sem_post(&sem); }

void Wakeup::TakeRest() {
  while (sem_trywait(&sem) == 0) {
  }
}

bool Wakeup::WaitUntil(Clock::time_point deadline) {
  for (;;) {
    int result;
    if (deadline == Clock::time_point::max()) {
      result = sem_wait(&sem);
    } else {
      if (Clock::now() >= deadline) {
        const bool given = sem_trywait(&sem) == 0;
        if (given) TakeRest();
        return given;
      }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
      const timespec until = ToTimespec(deadline.time_since_epoch());
      result = sem_clockwait(&sem, CLOCK_MONOTONIC, &until);
#else
      // Only the realtime clock here: wait for the remaining steady time.
      const timespec until = ToTimespec(std::chrono::system_clock::now().time_since_epoch() +
                                        (deadline - Clock::now()));
      result = sem_timedwait(&sem, &until);
#endif
    }
    if (result == 0) {
      TakeRest();
      return true;
    }
    if (errno == ETIMEDOUT) return false;
    // EINTR: a signal handler ran; it gives if it wants the waiter up.
  }
}

}  // namespace loop
