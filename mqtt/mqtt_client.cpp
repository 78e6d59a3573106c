#include "mqtt_client.h"

#include <mosquitto.h>

#include <cstring>

#include "log/log.h"

namespace {

// The library's own reconnect delay, restored once a connection succeeds.
constexpr unsigned kLibraryRetryDelay = 1;
// Where the system keeps its CA certificates (hashed names), on OpenWrt too.
constexpr const char* kSystemCaPath = "/etc/ssl/certs";
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";
// Status messages are few and must arrive.
constexpr int kStatusQos = 1;

}  // namespace

unsigned MQTT::RetryDelay(unsigned refusals) {
  unsigned delay = kFirstRetryDelay;
  for (unsigned i = 1; i < refusals && delay < kMaxRetryDelay; ++i) delay *= 2;
  return delay < kMaxRetryDelay ? delay : kMaxRetryDelay;
}

MQTT::MQTT(const char* id, bool clean_session) : mosqpp::mosquittopp(id, clean_session) {}

bool MQTT::Init() {
  mosqpp::lib_init();
  return true;
}

bool MQTT::Configure(const ClientOptions& options) {
  options_ = options;
  if (!options_.client_id.empty()) reinitialise(options_.client_id.c_str(), true);
  if (!options_.username.empty()) {
    username_pw_set(options_.username.c_str(),
                    options_.password.empty() ? nullptr : options_.password.c_str());
  }
  if (options_.tls) {
    const auto optional = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
    int rc = tls_set(optional(options_.ca_file), options_.ca_file.empty() ? kSystemCaPath : nullptr,
                     optional(options_.cert_file), optional(options_.key_file));
    if (rc == MOSQ_ERR_SUCCESS && !options_.tls_verify) {
      LOG_WARN << "TLS certificate verification is off";
      rc = tls_opts_set(0, nullptr, nullptr);
      if (rc == MOSQ_ERR_SUCCESS) rc = tls_insecure_set(true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      LOG_ERROR << "MQTT TLS Error : " << mosquitto_strerror(rc) << " (ca_file \"" << options_.ca_file
                << "\", cert_file \"" << options_.cert_file << "\", key_file \"" << options_.key_file
                << "\")";
      return false;
    }
  }
  if (!options_.status_topic.empty()) {
    will_set(options_.status_topic.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline,
             kStatusQos, true);
  }
  return true;
}

bool MQTT::Connect(const std::string& host, const int& port) {
  LOG_VERB << host << " " << port;
  // The network thread runs only while publishing is enabled, i.e. from the
  // first connection on. It is started before connecting so that it retries
  // even when the first attempt fails.
  if (!loop_running_) {
    const int rc = loop_start();
    if (rc != MOSQ_ERR_SUCCESS) {
      LOG_ERROR << "MQTT Error : " << mosquitto_strerror(rc);
      return false;
    }
    loop_running_ = true;
  }
  const int rc = connect_async(host.c_str(), port, options_.keepalive);
  if (rc != MOSQ_ERR_SUCCESS) {
    LOG_ERROR << "MQTT Connect Error : " << mosquitto_strerror(rc);
    return false;
  }
  return true;
}

bool MQTT::Publish(const std::string& topic, const std::string& payload, int qos) {
  const int rc = publish(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                         qos, false);
  return rc == MOSQ_ERR_SUCCESS;
}

bool MQTT::Send(const Outgoing& message) {
  const int rc = publish(nullptr, message.topic.c_str(), static_cast<int>(message.payload.size()),
                         message.payload.data(), message.qos, message.retain);
  return rc == MOSQ_ERR_SUCCESS;
}

void MQTT::Disconnect() {
  stopping_.store(true);
  // A clean stop takes the will back, so say it ourselves.
  if (!options_.status_topic.empty() && connected_.load()) {
    publish(nullptr, options_.status_topic.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline,
            kStatusQos, true);
  }
  disconnect();
}

void MQTT::Deinit() {
  if (loop_running_) {
    // The loop ends once it sees the disconnecting state; loop_stop wakes it
    // from a reconnect delay and joins it, so no callback is cut short.
    stopping_.store(true);
    disconnect();
    loop_stop(false);
    loop_running_ = false;
  }
  mosqpp::lib_cleanup();
}

ConnectionState MQTT::State() const {
  ConnectionState state;
  state.connected = connected_.load();
  const uint64_t attempts = connections_.load() + refused_.load();
  state.reconnects = attempts > 0 ? attempts - 1 : 0;
  std::lock_guard<std::mutex> lock(state_lock_);
  state.since = since_;
  state.last_disconnect = last_disconnect_;
  return state;
}

void MQTT::SetState(bool connected, const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(state_lock_);
    since_ = std::time(nullptr);
    if (!connected) last_disconnect_ = reason;
  }
  connected_.store(connected);
}

void MQTT::on_connect(int rc) {
  if (stopping_.load()) {
    // An attempt that was under way when the stop began: do not stay.
    disconnect();
    return;
  }
  if (rc == 0) {
    connections_.fetch_add(1);
    refusals_.store(0);
    outage_logged_ = false;
    reconnect_delay_set(kLibraryRetryDelay, kLibraryRetryDelay, false);
    LOG_VERB << "Connection Success";
    // Before anything waiting goes out: the status first, then the readings.
    if (!options_.status_topic.empty()) {
      publish(nullptr, options_.status_topic.c_str(), static_cast<int>(std::strlen(kOnline)), kOnline,
              kStatusQos, true);
    }
    if (!options_.birth_topic.empty()) subscribe(nullptr, options_.birth_topic.c_str(), 0);
    SetState(true, "");
    if (wakeup_) wakeup_->Give();
    return;
  }
  refused_.fetch_add(1);
  LOG_INFO << "Connection Failed : " << mosquitto_connack_string(rc);
  if (!outage_logged_ && !options_.username.empty() && (rc == 4 || rc == 5)) {
    LOG_ERROR << "Broker refused user \"" << options_.username << "\" : " << mosquitto_connack_string(rc);
    outage_logged_ = true;
  }
  {
    std::lock_guard<std::mutex> lock(state_lock_);
    last_disconnect_ = mosquitto_connack_string(rc);
  }
  // The library reconnects by itself once this attempt is closed; wait
  // longer after each refusal instead of asking the broker again at once.
  const unsigned delay = RetryDelay(refusals_.fetch_add(1) + 1);
  reconnect_delay_set(delay, delay, false);
}

void MQTT::on_disconnect(int rc) {
  if (rc == 0) {
    SetState(false, "stopped");
    LOG_INFO << "Disconnected from Host";
    return;
  }
  if (!connected_.load()) return;  // the end of a refused attempt
  const std::string reason = mosquitto_strerror(rc);
  SetState(false, reason);
  LOG_WARN << "Connection Lost : " << reason;
}

void MQTT::on_publish(int mid) {
  LOG_VERB << "mid : " << mid;
}

void MQTT::on_message(const mosquitto_message* message) {
  if (options_.birth_topic.empty() || message == nullptr || message->topic == nullptr) return;
  if (options_.birth_topic != message->topic) return;
  const std::string payload(static_cast<const char*>(message->payload),
                            message->payload ? static_cast<size_t>(message->payloadlen) : 0);
  if (payload == kOnline) {
    birth_.store(true);
    if (wakeup_) wakeup_->Give();
  }
}

void MQTT::on_log(int level, const char* text) {
  // A failed TLS handshake reaches the client only through the library's log.
  if (level != MOSQ_LOG_ERR || text == nullptr || std::strncmp(text, "OpenSSL Error", 13) != 0) return;
  if (outage_logged_) return;
  outage_logged_ = true;
  LOG_ERROR << "TLS Error : " << text;
  std::lock_guard<std::mutex> lock(state_lock_);
  last_disconnect_ = text;
}
