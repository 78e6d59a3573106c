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
  mailbox::Post(MSG_SENSOR_DATA, std::move(event));
}

void WebsocketEventHandler(const char* text) {
  if (text == nullptr) return;
  std::unique_ptr<std::string> device_id;
  try {
    const nlohmann::json event = nlohmann::json::parse(text);
    if (!event.is_object() || event.value("type", "") != "unsubscribe") return;
    device_id = std::make_unique<std::string>(event.at("device_id").get<std::string>());
  } catch (const nlohmann::json::exception&) {
    return;  // not ours: the websocket service's commands are of no interest here
  }
  mailbox::Post(MSG_NODE_REMOVED, std::move(device_id));
}

void ProcessMessage(mailbox::Mailbox& box, MessageSink& sink) {
  if (box.Empty()) return;
  ProcessMessage(box.Pop(), sink);
}

void ProcessMessage(const mailbox::Message& message, MessageSink& sink) {
  if (message.type == MSG_NODE_REMOVED) {
    const std::unique_ptr<std::string> device_id(static_cast<std::string*>(message.data));
    if (device_id) sink.NodeRemoved(*device_id);
    return;
  }
  if (message.type != MSG_SENSOR_DATA) return;
  const std::unique_ptr<nlohmann::json> event(static_cast<nlohmann::json*>(message.data));
  if (!event) return;
  std::string device_id;
  std::string sensor_type;
  std::string body;
  try {
    device_id = event->at("device_id").get<std::string>();
    sensor_type = event->at("sensor_type").get<std::string>();
    body = event->at("data").dump();
  } catch (const nlohmann::json::exception& e) {
    LOG_ERROR << e.what();
    return;
  }
  sink.Reading(device_id, sensor_type, "kelvora/" + device_id + "/" + sensor_type, body);
}

void ProcessMessage(mailbox::Mailbox& box, const PublishFunction& publish) {
  struct Publishing : MessageSink {
    const PublishFunction& publish;
    explicit Publishing(const PublishFunction& p) : publish(p) {}
    void Reading(const std::string&, const std::string&, const std::string& topic,
                 const std::string& body) override {
      publish(topic, body, 0);
    }
    void NodeRemoved(const std::string&) override {}
  } sink(publish);
  ProcessMessage(box, sink);
}

void DeleteMessage(mailbox::Message& message) {
  if (message.type == MSG_SENSOR_DATA) delete static_cast<nlohmann::json*>(message.data);
  if (message.type == MSG_NODE_REMOVED) delete static_cast<std::string*>(message.data);
  message.data = nullptr;
}

void DropMessages(mailbox::Mailbox& box) {
  while (!box.Empty()) {
    mailbox::Message message = box.Pop();
    DeleteMessage(message);
  }
}
