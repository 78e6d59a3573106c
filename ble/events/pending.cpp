#include "events/pending.h"

#include <utility>

#include "log/log.h"

namespace events {

PendingReports::PendingReports(size_t capacity, std::chrono::milliseconds retry_pause, Sender sender,
                               Ready ready)
    : capacity(capacity), retry_pause(retry_pause), sender(std::move(sender)), ready(std::move(ready)) {}

bool PendingReports::TrySend(const std::string& text) {
  if (ready() && sender(text)) return true;
  next_try = Clock::now() + retry_pause;
  return false;
}

void PendingReports::Send(std::string text) {
  Flush();
  if (kept.empty() && TrySend(text)) return;
  if (capacity == 0) return;
  if (kept.size() >= capacity) {
    kept.pop_front();
    if (!dropped_warned) {
      LOG_WARN << "Bus away: more than " << capacity << " readings waiting, dropping the oldest";
      dropped_warned = true;
    }
  }
  kept.push_back(std::move(text));
}

void PendingReports::Flush() {
  if (kept.empty() || Clock::now() < next_try) return;
  while (!kept.empty()) {
    if (!TrySend(kept.front())) return;
    kept.pop_front();
    ++sent_after_outage;
  }
  LOG_INFO << "Bus back: sent " << sent_after_outage << " readings kept while it was away";
  sent_after_outage = 0;
  dropped_warned = false;
}

}  // namespace events
