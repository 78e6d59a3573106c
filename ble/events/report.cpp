#include "events/report.h"

#include "events/compact.h"
#include "ipc/ubus.h"
#include "log/log.h"

void SendMQTTData(const std::string& device_id, const std::string& sensor_type,
                  const nlohmann::json& data) {
  nlohmann::json event = nlohmann::json::object();
  event["device_id"] = device_id;
  event["sensor_type"] = sensor_type;
  event["data"] = data;
  const std::string text = events::Compact(event);
  LOG_VERB << text;

  ipc::UBUS ubus(30);
  ubus.Event("kelvora.report", text);
}
