#include "events/websocket.h"

#include <cstdint>
#include <memory>

#include <nlohmann/json.hpp>

#include "ipc/compact.h"
#include "log/log.h"
#include "mailbox/mailbox.h"
#include "manager/messages.h"

ipc::UBUSListener g_websocketListener(30);

namespace {

using json = nlohmann::json;

constexpr const char* kEventName = "kelvora.websocket";

// A fold value as a 32-bit int: integers keep their low 32 bits, floating
// point numbers lose their fraction, booleans give 0 or 1. False for any
// other type and for a floating point number outside the int range.
bool ToFold(const json& value, int& fold) {
  switch (value.type()) {
    case json::value_t::number_integer:
      fold = static_cast<int>(static_cast<uint32_t>(value.get<int64_t>()));
      return true;
    case json::value_t::number_unsigned:
      fold = static_cast<int>(static_cast<uint32_t>(value.get<uint64_t>()));
      return true;
    case json::value_t::number_float: {
      const double number = value.get<double>();
      if (!(number > -2147483649.0 && number < 2147483648.0)) return false;
      fold = static_cast<int>(number);
      return true;
    }
    case json::value_t::boolean:
      fold = value.get<bool>() ? 1 : 0;
      return true;
    default:
      return false;
  }
}

// The command's "device_id"; the reason when it is missing or not a string.
const char* ReadDeviceId(const json& command, std::string& device_id) {
  const auto member = command.find("device_id");
  if (member == command.end() || !member->is_string()) return "\"device_id\" is not a string";
  device_id = member->get<std::string>();
  return nullptr;
}

// Posts LE_CTRL_BEACON; the reason when the command is not of that shape.
std::string PostBeacon(const json& command) {
  auto payload = std::make_unique<BeaconPayload>();
  if (const char* why = ReadDeviceId(command, payload->device_id)) return why;
  const auto beacon = command.find("beacon");
  if (beacon == command.end() || !beacon->is_boolean()) return "\"beacon\" is not a boolean";
  payload->beacon = beacon->get<bool>();
  mailbox::Post(LE_CTRL_BEACON, std::move(payload));
  return std::string();
}

// Posts LE_CTRL_FOLD; the reason when the command is not of that shape.
std::string PostFolds(const json& command) {
  auto payload = std::make_unique<FoldPayload>();
  if (const char* why = ReadDeviceId(command, payload->device_id)) return why;
  const auto folds = command.find("folds");
  if (folds == command.end() || !folds->is_object()) return "\"folds\" is not an object";
  for (const auto& entry : folds->items()) {
    int fold = 0;
    if (!ToFold(entry.value(), fold)) {
      return "fold \"" + entry.key() + "\" is not a number : " + ipc::Compact(entry.value());
    }
    payload->folds[entry.key()] = fold;
  }
  mailbox::Post(LE_CTRL_FOLD, std::move(payload));
  return std::string();
}

void SendAnnouncement(const std::string& device_id, const char* type) {
  json announcement = json::object();
  announcement["type"] = type;
  announcement["device_type"] = "sensor";
  announcement["device_id"] = device_id;

  ipc::UBUS ubus(30);
  ubus.Event(kEventName, ipc::Compact(announcement));
}

}  // namespace

void StartWebsocketListener() {
  g_websocketListener.RegisterEventHandler(kEventName, WebsocketDataEventHandler);
  g_websocketListener.ServerStart();
}

void StopWebsocketListener() {
  g_websocketListener.UnregisterEventHandler(kEventName);
  g_websocketListener.ServerStop();
}

void WebsocketDataEventHandler(const char* text) {
  LOG_VERB << (text ? text : "(null)");
  if (!text) return;

  json command;
  try {
    command = json::parse(text);
  } catch (const json::exception&) {
    return;
  }
  std::string why;
  if (!command.is_object()) {
    why = "not an object";
  } else if (const auto type = command.find("type"); type == command.end() || !type->is_string()) {
    why = "\"type\" is not a string";
  } else if (*type == "beacon") {
    why = PostBeacon(command);
  } else if (*type == "folds") {
    why = PostFolds(command);
  }
  if (!why.empty()) {
    LOG_ERROR << "Drop command : " << why;
  }
}

void SendSubscribe(const std::string& device_id) { SendAnnouncement(device_id, "subscribe"); }

void SendUnsubscribe(const std::string& device_id) { SendAnnouncement(device_id, "unsubscribe"); }
