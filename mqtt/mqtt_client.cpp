#include "mqtt_client.h"

#include <mosquitto.h>
#include <pthread.h>

#include "log/log.h"

namespace {

// Deinit stops the network thread by cancellation. A callback writes the log
// under the logger's lock; it must not be cancelled half way, or the lock
// would stay taken for every other thread.
class NoCancel {
 public:
  NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
  ~NoCancel() { pthread_setcancelstate(old_, nullptr); }
  NoCancel(const NoCancel&) = delete;
  NoCancel& operator=(const NoCancel&) = delete;

 private:
  int old_ = PTHREAD_CANCEL_ENABLE;
};

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
  const int rc = loop_start();
  if (rc != MOSQ_ERR_SUCCESS) {
    LOG_ERROR << "MQTT Error : " << mosquitto_strerror(rc);
    return false;
  }
  return true;
}

bool MQTT::Connect(const std::string& host, const int& port) {
  LOG_VERB << host << " " << port;
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

void MQTT::Disconnect() { disconnect(); }

void MQTT::Deinit() {
  loop_stop(true);
  mosqpp::lib_cleanup();
}

void MQTT::on_connect(int rc) {
  NoCancel no_cancel;
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
  NoCancel no_cancel;
  LOG_INFO << "Disconnected from Host";
}

void MQTT::on_publish(int mid) {
  NoCancel no_cancel;
  LOG_VERB << "mid : " << mid;
}
