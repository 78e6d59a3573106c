#include "outbox.h"

#include "log/log.h"

void Outbox::Push(Outgoing message) {
  if (capacity_ == 0) {
    dropped_.fetch_add(1);
    return;
  }
  if (messages_.size() >= capacity_) {
    messages_.pop_front();
    dropped_.fetch_add(1);
    if (!warned_) {
      LOG_WARN << "MQTT queue full (" << capacity_ << " messages), dropping the oldest";
      warned_ = true;
    }
  }
  messages_.push_back(std::move(message));
  depth_.store(messages_.size());
}

size_t Outbox::Flush(MessageLink& link, size_t limit) {
  size_t sent = 0;
  while (sent < limit && !messages_.empty() && link.Send(messages_.front())) {
    messages_.pop_front();
    ++sent;
  }
  depth_.store(messages_.size());
  return sent;
}

bool Forwarder::Send(const Outgoing& message) {
  if (link_.Send(message)) {
    published_.fetch_add(1);
    return true;
  }
  failed_.fetch_add(1);
  return false;
}

void Forwarder::Publish(Outgoing message) {
  if (!enabled_) {
    // Nothing will ever take it.
    Send(message);
    return;
  }
  if (outbox_.Empty() && link_.Connected() && Send(message)) return;
  outbox_.Push(std::move(message));
}

void Forwarder::Drain() {
  if (!enabled_ || outbox_.Empty() || !link_.Connected()) return;
  struct Counting : MessageLink {
    Forwarder& owner;
    explicit Counting(Forwarder& f) : owner(f) {}
    bool Connected() const override { return owner.link_.Connected(); }
    bool Send(const Outgoing& message) override { return owner.Send(message); }
  } counting(*this);
  outbox_.Flush(counting, kDrainPerPass);
  if (outbox_.Empty()) outbox_.Rearm();
}
