#include "mqtt_client.h"

#include <mosquitto.h>

#include "log/log.h"

namespace {

constexpr int kKeepAliveSeconds = 60;
// The library's own reconnect delay, restored once a connection succeeds.
constexpr unsigned kLibraryRetryDelay = 1;

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
  const int rc = connect_async(host.c_str(), port, kKeepAliveSeconds);
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

void MQTT::Disconnect() {
  stopping_.store(true);
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

void MQTT::on_connect(int rc) {
  if (stopping_.load()) {
    // An attempt that was under way when the stop began: do not stay.
    disconnect();
    return;
  }
  if (rc == 0) {
    refusals_.store(0);
    reconnect_delay_set(kLibraryRetryDelay, kLibraryRetryDelay, false);
    LOG_VERB << "Connection Success";
    return;
  }
  LOG_INFO << "Connection Failed : " << mosquitto_connack_string(rc);
  // The library reconnects by itself once this attempt is closed; wait
  // longer after each refusal instead of asking the broker again at once.
  const unsigned delay = RetryDelay(refusals_.fetch_add(1) + 1);
  reconnect_delay_set(delay, delay, false);
}

void MQTT::on_disconnect(int rc) {
  if (rc != 0) return;
  LOG_INFO << "Disconnected from Host";
}

void MQTT::on_publish(int mid) {
  LOG_VERB << "mid : " << mid;
}
