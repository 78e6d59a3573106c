#pragma once

#include <mosquittopp.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "loop/wakeup.h"
#include "outbox.h"

// How the client meets the broker beyond host and port; the defaults are a
// plain, anonymous connection with a 60 s keep-alive and no status topic.
struct ClientOptions {
  // Empty: the library makes one up.
  std::string client_id;
  std::string username;
  std::string password;
  bool tls = false;
  // Empty: the system's CA store.
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  bool tls_verify = true;
  int keepalive = 60;
  // Retained "online" on every connection on this topic, "offline" as the
  // last will and at a clean stop; empty: none.
  std::string status_topic;
  // Home Assistant's birth topic to follow; empty: none.
  std::string birth_topic;
};

// A copy of the connection's state for the status object.
struct ConnectionState {
  bool connected = false;
  // Unix time of the last change of `connected`; 0 before the first.
  std::time_t since = 0;
  std::string last_disconnect;
  uint64_t reconnects = 0;
};

// The daemon's broker connection. The library's network thread starts with
// the first Connect (only when publishing is enabled) and Deinit joins it;
// the callbacks run there and only write the log, keep the state and pace
// reconnection.
class MQTT : public mosqpp::mosquittopp, public MessageLink {
 public:
  // Seconds before the next attempt after a broker refused the connection:
  // doubling from kFirstRetryDelay per consecutive refusal, at most
  // kMaxRetryDelay. A lost connection is retried at the library's default.
  static constexpr unsigned kFirstRetryDelay = 1;
  static constexpr unsigned kMaxRetryDelay = 60;
  static unsigned RetryDelay(unsigned refusals);

  explicit MQTT(const char* id = nullptr, bool clean_session = true);

  bool Init();
  // Applies `options` before the first Connect; false (with an error
  // record) when the TLS settings are unusable: then nothing may connect.
  bool Configure(const ClientOptions& options);
  bool Connect(const std::string& host, const int& port);
  bool Publish(const std::string& topic, const std::string& payload, int qos);
  void Disconnect();
  void Deinit();

  bool Connected() const override { return connected_.load(); }
  bool Send(const Outgoing& message) override;
  ConnectionState State() const;
  // True once after Home Assistant announced itself "online".
  bool TakeBirth() { return birth_.exchange(false); }
  // Given (on the network thread) when the connection is made and when
  // Home Assistant announces itself: the main loop has work then. Before
  // the first Connect.
  void WakeOnChange(loop::Wakeup* wakeup) { wakeup_ = wakeup; }

 protected:
  void on_connect(int rc) override;
  void on_disconnect(int rc) override;
  void on_publish(int mid) override;
  void on_message(const mosquitto_message* message) override;
  void on_log(int level, const char* text) override;

 private:
  void SetState(bool connected, const std::string& reason);

  ClientOptions options_;
  // Consecutive refused connections; touched on the network thread only.
  std::atomic<unsigned> refusals_{0};
  // Set once the stop begins; a connection made after it is closed at once.
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> birth_{false};
  loop::Wakeup* wakeup_ = nullptr;
  // Network thread: an outage (or a run of failed attempts) was logged.
  bool outage_logged_ = false;
  std::atomic<uint64_t> connections_{0};
  std::atomic<uint64_t> refused_{0};
  mutable std::mutex state_lock_;
  std::time_t since_ = 0;
  std::string last_disconnect_;
  // Touched by the owning thread only.
  bool loop_running_ = false;
};
