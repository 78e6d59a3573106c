#include "events/report.h"

#include <memory>

#include "events/pending.h"
#include "ipc/compact.h"
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

// One connection for every report event, opened on the first one and again
// after a send failed (the bus daemon went away): the events on the bus are
// the same as with a connection per event. Measured at 1,000 readings/s
// (bench/e2e_bench.py): a connection per event took this daemon 10.7 % of a
// core and the bus daemon 6.8 %; one connection 5.7 % and 2.0 %.
std::unique_ptr<ipc::UBUS>& ReportConnection() {
  static std::unique_ptr<ipc::UBUS> connection;
  return connection;
}

bool SendReport(const std::string& text) {
  std::unique_ptr<ipc::UBUS>& ubus = ReportConnection();
  // A connection that failed may be one the bus daemon has dropped: one
  // more try on a fresh one tells that apart from a refused event.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool fresh = !ubus;
    if (fresh) ubus = std::make_unique<ipc::UBUS>(30);
    if (!ubus->Connected()) {
      ubus.reset();
      status::Count().send_failures++;
      return false;
    }
    if (ubus->Event("kelvora.report", text) || fresh) break;
    ubus.reset();
  }
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
  std::string text = ipc::Compact(event);
  LOG_VERB << text;

  Pending().Send(std::move(text));
}

void FlushMQTTData() { Pending().Flush(); }

std::chrono::steady_clock::time_point MQTTDataDue() { return Pending().Due(); }
