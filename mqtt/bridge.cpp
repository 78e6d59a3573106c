#include "bridge.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "log/log.h"

void SensorDataEventHandler(const char* text) {
  if (text == nullptr) {
    LOG_ERROR << "Event without data";
    return;
  }
  std::unique_ptr<nlohmann::json> event;
  try {
    event = std::make_unique<nlohmann::json>(nlohmann::json::parse(text));
  } catch (const nlohmann::json::exception& e) {
    LOG_ERROR << e.what();
    return;
  }
  mailbox::Post(mailbox::Message(MSG_SENSOR_DATA, event.get()));
  event.release();
}

void ProcessMessage(mailbox::Mailbox& box, const PublishFunction& publish) {
  if (box.Empty()) return;
  const mailbox::Message message = box.Pop();
  if (message.type != MSG_SENSOR_DATA) return;
  const std::unique_ptr<nlohmann::json> event(static_cast<nlohmann::json*>(message.data));
  if (!event) return;
  std::string topic;
  std::string body;
  try {
    topic = "kelvora/" + event->at("device_id").get<std::string>() + "/" +
            event->at("sensor_type").get<std::string>();
    body = event->at("data").dump();
  } catch (const nlohmann::json::exception& e) {
    LOG_ERROR << e.what();
    return;
  }
  publish(topic, body, 0);
}

void DropMessages(mailbox::Mailbox& box) {
  while (!box.Empty()) {
    const mailbox::Message message = box.Pop();
    if (message.type == MSG_SENSOR_DATA) delete static_cast<nlohmann::json*>(message.data);
  }
}
