#include "events/report.h"

#include "events/compact.h"
#include "events/pending.h"
#include "ipc/ubus.h"
#include "log/log.h"
#include "status/link_status.h"

namespace {

using namespace std::chrono_literals;

// Readings wait while the bus is away. This process's listener sees every
// loss; the listeners of the receiving daemons reconnect on the same
// schedule, so a reading sent once the cap has passed after this one came
// back finds them subscribed again.
constexpr size_t kPendingReadings = 4096;
constexpr auto kRetryPause = 250ms;
constexpr auto kSettle = ipc::kReconnectMaxPause + 250ms;

bool SendReport(const std::string& text) {
  ipc::UBUS ubus(30);
  if (!ubus.Connected()) {
    status::Count().send_failures++;
    return false;
  }
  ubus.Event("kelvora.report", text);
  status::Count().events_sent++;
  return true;
}

events::PendingReports& Pending() {
  static events::PendingReports pending(kPendingReadings, kRetryPause, SendReport,
                                        [] { return ipc::ListenerSettled(kSettle); });
  return pending;
}

}  // namespace

void SendMQTTData(const std::string& device_id, const std::string& sensor_type,
                  const nlohmann::json& data) {
  nlohmann::json event = nlohmann::json::object();
  event["device_id"] = device_id;
  event["sensor_type"] = sensor_type;
  event["data"] = data;
  std::string text = events::Compact(event);
  LOG_VERB << text;

  Pending().Send(std::move(text));
}

void FlushMQTTData() { Pending().Flush(); }

std::chrono::steady_clock::time_point MQTTDataDue() { return Pending().Due(); }
