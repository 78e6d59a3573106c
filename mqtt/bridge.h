#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "mailbox/mailbox.h"

// The one message code of this daemon; its payload is a heap nlohmann::json
// holding a parsed "kelvora.report" event, deleted by the consumer.
constexpr uint32_t MSG_SENSOR_DATA = 0x2000;

// Publishes `payload` under `topic` with the quality of service `qos`.
using PublishFunction =
    std::function<bool(const std::string& topic, const std::string& payload, int qos)>;

// Handler of "kelvora.report" (listener thread): parses the event and posts
// it to the daemon's mailbox; text that is not JSON is logged and dropped.
void SensorDataEventHandler(const char* text);

// Takes at most one message from `box`. A reading is published as its
// compact "data" under "kelvora/" + device_id + "/" + sensor_type, QoS 0. An
// event without a string "device_id" or "sensor_type", or without "data",
// is logged and dropped.
void ProcessMessage(mailbox::Mailbox& box, const PublishFunction& publish);

// Empties `box`, deleting the payloads (at shutdown, after the listener stopped).
void DropMessages(mailbox::Mailbox& box);
