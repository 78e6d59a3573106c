#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

// One message for the broker.
struct Outgoing {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
};

// The broker connection as the publishing side sees it.
class MessageLink {
 public:
  virtual ~MessageLink() = default;
  // True between a accepted connection and its loss.
  virtual bool Connected() const = 0;
  // Hands one message to the client library; false when it refused it.
  virtual bool Send(const Outgoing& message) = 0;
};

// Messages that wait for the broker, oldest first. Bounded: when full, the
// oldest message makes room (counted; one warning record per outage).
// Used by the main thread; the counters may be read from any thread.
class Outbox {
 public:
  // The daemon's bound; see mqtt/README.md for the reasoning.
  static constexpr size_t kCapacity = 8192;

  explicit Outbox(size_t capacity = kCapacity) : capacity_(capacity) {}

  void Push(Outgoing message);
  // Sends from the front while `link` accepts them, at most `limit`.
  // Returns how many went.
  size_t Flush(MessageLink& link, size_t limit);

  bool Empty() const { return messages_.empty(); }
  size_t Depth() const { return depth_.load(); }
  uint64_t Dropped() const { return dropped_.load(); }
  // The outage is over: the next drop warns again.
  void Rearm() { warned_ = false; }

 private:
  size_t capacity_;
  std::deque<Outgoing> messages_;
  bool warned_ = false;
  std::atomic<size_t> depth_{0};
  std::atomic<uint64_t> dropped_{0};
};

// Publishes in order: straight through while connected and nothing waits,
// into the outbox otherwise; the outbox drains once the link is back.
class Forwarder {
 public:
  // Messages sent per Drain call; the library queues what it cannot write at once.
  static constexpr size_t kDrainPerPass = 256;

  // `enabled` false: no broker is configured and nothing is kept.
  Forwarder(MessageLink& link, bool enabled, size_t capacity = Outbox::kCapacity)
      : link_(link), enabled_(enabled), outbox_(capacity) {}

  void Publish(Outgoing message);
  // Sends what waits while the link is up, at most kDrainPerPass (main loop).
  void Drain();
  // Whether a Drain now would send something.
  bool Drainable() const { return enabled_ && !outbox_.Empty() && link_.Connected(); }

  size_t Queued() const { return outbox_.Depth(); }
  uint64_t Dropped() const { return outbox_.Dropped(); }
  uint64_t Published() const { return published_.load(); }
  uint64_t Failed() const { return failed_.load(); }

 private:
  bool Send(const Outgoing& message);

  MessageLink& link_;
  bool enabled_;
  Outbox outbox_;
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> failed_{0};
};
