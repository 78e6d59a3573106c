#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace events {

// Readings that could not go out while the bus was away, sent in order once
// it is back and before any newer reading. Bounded: when full, the oldest
// reading is dropped, with one warning record per outage. Used from one
// thread only (the BLE message thread).
class PendingReports {
 public:
  // Sends one event text; false when the bus is away (the text is kept).
  // A text the bus refuses for another reason counts as sent.
  using Sender = std::function<bool(const std::string&)>;
  // Whether sending may be tried at all (the receivers may still be away).
  using Ready = std::function<bool()>;
  using Clock = std::chrono::steady_clock;

  PendingReports(size_t capacity, std::chrono::milliseconds retry_pause, Sender sender, Ready ready);

  // Sends `text` after what is kept, or keeps it.
  void Send(std::string text);
  // Sends what is kept, oldest first, unless the last attempt failed less
  // than the retry pause ago (each attempt opens a bus connection).
  void Flush();
  size_t Size() const { return kept_.size(); }
  // When Flush may send again (max: nothing is kept).
  Clock::time_point Due() const { return kept_.empty() ? Clock::time_point::max() : next_try_; }

 private:
  bool TrySend(const std::string& text);

  size_t capacity_;
  std::chrono::milliseconds retry_pause_;
  Sender sender_;
  Ready ready_;
  std::deque<std::string> kept_;
  Clock::time_point next_try_;
  bool dropped_warned_ = false;
  size_t sent_after_outage_ = 0;
};

}  // namespace events
