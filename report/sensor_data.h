#pragma once

#include <cstdint>

#include "mailbox/mailbox.h"
#include "reporter.h"

// The one message of this daemon: a parsed "kelvora.report" payload
// (heap nlohmann::json, deleted by the consumer).
constexpr uint32_t MSG_SENSOR_DATA = 0x2000;

// Handler of "kelvora.report" (listener thread): parses the payload and posts
// it to the daemon's mailbox. Text that is not JSON is logged and dropped.
void SensorDataEventHandler(const char* text);

// Handles at most one message of `box`: routes the reading of a
// MSG_SENSOR_DATA payload to its queue in `reporter`. A payload that does
// not hold a string "device_id", a string "sensor_type" and an object "data"
// with a numeric "ts" is logged and dropped.
void ProcessMessage(mailbox::Mailbox& box, Reporter& reporter);
// The same for one message already taken from the mailbox; the payload is
// deleted here.
void ProcessMessage(const mailbox::Message& message, Reporter& reporter);
// Frees the payload of a message that is not handled (at shutdown).
void DeleteMessage(mailbox::Message& message);
