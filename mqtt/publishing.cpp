#include "publishing.h"

#include "status.h"
#include "version/version.h"

ClientOptions ClientOptionsFrom(const MqttSettings& settings, const std::string& client_id) {
  ClientOptions client;
  client.client_id = client_id;
  client.username = settings.username();
  client.password = settings.password();
  client.tls = settings.tls();
  client.ca_file = settings.ca_file();
  client.cert_file = settings.cert_file();
  client.key_file = settings.key_file();
  client.tls_verify = settings.tls_verify();
  client.keepalive = settings.keepalive();
  if (settings.availability()) client.status_topic = Presence::GatewayStatusTopic(client_id);
  if (settings.ha_discovery()) client.birth_topic = settings.ha_prefix() + "/status";
  return client;
}

Publishing::Publishing(MQTT& client, const MqttSettings& settings, std::string client_id,
                       std::string version)
    : client_(client),
      settings_(settings),
      client_id_(std::move(client_id)),
      version_(logging::VersionWithoutLineEnd(std::move(version))),
      started_(std::chrono::steady_clock::now()),
      forwarder_(client, settings.enable()),
      presence_({settings.availability(), settings.ha_discovery(), settings.ha_prefix(),
                 std::chrono::seconds(settings.node_timeout()), client_id_, version_},
                [this](Outgoing message) { forwarder_.Publish(std::move(message)); }, UBUSNodeInfo) {
  presence_.Announce();
}

void Publishing::Reading(const std::string& device_id, const std::string& sensor_type,
                         const std::string& topic, const std::string& body) {
  received_.fetch_add(1);
  presence_.Reading(device_id, sensor_type, std::chrono::steady_clock::now(), body);
  forwarder_.Publish({topic, body, settings_.qos(), false});
}

void Publishing::NodeRemoved(const std::string& device_id) { presence_.Removed(device_id); }

std::chrono::steady_clock::time_point Publishing::Tick() {
  forwarder_.Drain();
  if (client_.TakeBirth()) presence_.Rediscover();
  const auto now = std::chrono::steady_clock::now();
  presence_.Expire(now);
  // The rest of a long outbox goes on the next pass.
  if (forwarder_.Drainable()) return now;
  return presence_.NextExpiry();
}

std::string Publishing::Status() const {
  StatusView view;
  view.version = version_;
  view.uptime =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
  view.enabled = settings_.enable();
  view.broker = settings_.host() + ":" + std::to_string(settings_.port());
  view.client_id = client_id_;
  view.connection = client_.State();
  view.received = received_.load();
  view.published = forwarder_.Published();
  view.failed = forwarder_.Failed();
  view.queued = forwarder_.Queued();
  view.dropped = forwarder_.Dropped();
  return StatusJson(view);
}
