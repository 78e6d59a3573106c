#include "sensor_data.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "ipc/compact.h"
#include "log/log.h"

namespace {

// Offers the payload's reading ("data" with "k" set to "sensor_type") to its
// queue. Throws for a payload of the wrong shape.
void RouteReading(const nlohmann::json& payload, Reporter& reporter) {
  if (!payload.is_object()) throw std::invalid_argument("event is not an object");
  nlohmann::json reading = payload.at("data");
  if (!reading.is_object() && !reading.is_null()) {
    throw std::invalid_argument(std::string("data must be an object, but is ") + reading.type_name());
  }
  reading["k"] = payload.at("sensor_type");
  const std::string device_id = payload.at("device_id").get<std::string>();
  const std::string sensor_type = payload.at("sensor_type").get<std::string>();
  reporter.UpdateData(device_id, sensor_type, reading);
}

void LogDropped(const std::exception& error, const nlohmann::json& payload) {
  constexpr size_t kMaxShown = 512;
  std::string text = ipc::Compact(payload);
  if (text.size() > kMaxShown) text.resize(kMaxShown);
  LOG_ERROR << "Event dropped : " << error.what() << " : " << text;
}

}  // namespace

void SensorDataEventHandler(const char* text) {
  LOG_VERB << (text ? text : "(null)");
  if (text == nullptr) return;
  try {
    auto payload = std::make_unique<nlohmann::json>(nlohmann::json::parse(text, nullptr, true, false));
    mailbox::Post(MSG_SENSOR_DATA, std::move(payload));
  } catch (const nlohmann::json::exception& e) {
    // Not only parse_error: a number beyond double's range is out_of_range.
    LOG_ERROR << e.what();
  }
}

void ProcessMessage(const mailbox::Message& message, Reporter& reporter) {
  if (message.type != MSG_SENSOR_DATA) return;
  std::unique_ptr<nlohmann::json> payload(static_cast<nlohmann::json*>(message.data));
  if (!payload) return;
  try {
    RouteReading(*payload, reporter);
  } catch (const nlohmann::json::exception& e) {
    LogDropped(e, *payload);
  } catch (const std::invalid_argument& e) {
    LogDropped(e, *payload);
  }
}

void ProcessMessage(mailbox::Mailbox& box, Reporter& reporter) {
  if (box.Empty()) return;
  ProcessMessage(box.Pop(), reporter);
}

void DeleteMessage(mailbox::Message& message) {
  if (message.type == MSG_SENSOR_DATA) delete static_cast<nlohmann::json*>(message.data);
  message.data = nullptr;
}
