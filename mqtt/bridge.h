#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "mailbox/mailbox.h"

// The one message code of this daemon; its payload is a heap nlohmann::json
// holding a parsed "kelvora.report" event, deleted by the consumer.
constexpr uint32_t MSG_SENSOR_DATA = 0x2000;
// A node left the gateway ("unsubscribe" on "kelvora.websocket"); its
// payload is a heap std::string with the device id, deleted by the consumer.
constexpr uint32_t MSG_NODE_REMOVED = 0x2001;

// Publishes `payload` under `topic` with the quality of service `qos`.
using PublishFunction =
    std::function<bool(const std::string& topic, const std::string& payload, int qos)>;

// Handler of "kelvora.report" (listener thread): parses the event and posts
// it to the daemon's mailbox; text that is not JSON is logged and dropped.
void SensorDataEventHandler(const char* text);

// Handler of "kelvora.websocket" (listener thread): posts the device id of
// an "unsubscribe" announcement; everything else is ignored without a record.
void WebsocketEventHandler(const char* text);

// Where the main loop hands what it takes from the mailbox.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void Reading(const std::string& device_id, const std::string& sensor_type,
                       const std::string& topic, const std::string& body) = 0;
  virtual void NodeRemoved(const std::string& device_id) = 0;
};

// Takes at most one message from `box` and hands it to `sink`; readings as
// for the overload below, without publishing them.
void ProcessMessage(mailbox::Mailbox& box, MessageSink& sink);
// The same for one message already taken from the mailbox; its payload is
// deleted here.
void ProcessMessage(const mailbox::Message& message, MessageSink& sink);

// Takes at most one message from `box`. A reading is published as its
// compact "data" under "kelvora/" + device_id + "/" + sensor_type, QoS 0. An
// event without a string "device_id" or "sensor_type", or without "data",
// is logged and dropped.
void ProcessMessage(mailbox::Mailbox& box, const PublishFunction& publish);

// Frees the payload of a message that is not handled.
void DeleteMessage(mailbox::Message& message);
// Empties `box`, deleting the payloads (at shutdown, after the listener stopped).
void DropMessages(mailbox::Mailbox& box);
