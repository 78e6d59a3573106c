#pragma once

#include <mosquittopp.h>

#include <atomic>
#include <string>

// The daemon's broker connection. The library's network thread starts with
// the first Connect (only when publishing is enabled) and Deinit joins it;
// the callbacks run there and only write the log (and pace reconnection).
class MQTT : public mosqpp::mosquittopp {
 public:
  // Seconds before the next attempt after a broker refused the connection:
  // doubling from kFirstRetryDelay per consecutive refusal, at most
  // kMaxRetryDelay. A lost connection is retried at the library's default.
  static constexpr unsigned kFirstRetryDelay = 1;
  static constexpr unsigned kMaxRetryDelay = 60;
  static unsigned RetryDelay(unsigned refusals);

  explicit MQTT(const char* id = nullptr, bool clean_session = true);

  bool Init();
  bool Connect(const std::string& host, const int& port);
  bool Publish(const std::string& topic, const std::string& payload, int qos);
  void Disconnect();
  void Deinit();

 protected:
  void on_connect(int rc) override;
  void on_disconnect(int rc) override;
  void on_publish(int mid) override;

 private:
  // Consecutive refused connections; touched on the network thread only.
  std::atomic<unsigned> refusals_{0};
  // Set once the stop begins; a connection made after it is closed at once.
  std::atomic<bool> stopping_{false};
  // Touched by the owning thread only.
  bool loop_running_ = false;
};
