#include "events/pending.h"

#include <utility>

#include "log/log.h"

namespace events {

PendingReports::PendingReports(size_t capacity, std::chrono::milliseconds retry_pause, Sender sender,
                               Ready ready)
    : capacity_(capacity), retry_pause_(retry_pause), sender_(std::move(sender)), ready_(std::move(ready)) {}

bool PendingReports::TrySend(const std::string& text) {
  if (ready_() && sender_(text)) return true;
  next_try_ = Clock::now() + retry_pause_;
  return false;
}

void PendingReports::Send(std::string text) {
  Flush();
  if (kept_.empty() && TrySend(text)) return;
  if (capacity_ == 0) return;
  if (kept_.size() >= capacity_) {
    kept_.pop_front();
    if (!dropped_warned_) {
      LOG_WARN << "Bus away: more than " << capacity_ << " readings waiting, dropping the oldest";
      dropped_warned_ = true;
    }
  }
  kept_.push_back(std::move(text));
}

void PendingReports::Flush() {
  if (kept_.empty() || Clock::now() < next_try_) return;
  while (!kept_.empty()) {
    if (!TrySend(kept_.front())) return;
    kept_.pop_front();
    ++sent_after_outage_;
  }
  LOG_INFO << "Bus back: sent " << sent_after_outage_ << " readings kept while it was away";
  sent_after_outage_ = 0;
  dropped_warned_ = false;
}

}  // namespace events
