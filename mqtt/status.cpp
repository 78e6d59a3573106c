#include "status.h"

#include <nlohmann/json.hpp>

#include "ipc/compact.h"

std::string StatusJson(const StatusView& view) {
  const ConnectionState& c = view.connection;
  const nlohmann::json reply = {
      {"broker", view.broker},
      {"client_id", view.client_id},
      {"connected", c.connected},
      {"dropped", view.dropped},
      {"enabled", view.enabled},
      {"failed", view.failed},
      {"last_disconnect", c.last_disconnect},
      {"published", view.published},
      {"queued", view.queued},
      {"received", view.received},
      {"reconnects", c.reconnects},
      // Unix time of the last connection or loss; null before the first.
      {"since", c.since ? nlohmann::json(static_cast<int64_t>(c.since)) : nlohmann::json()},
      {"uptime", view.uptime},
      {"version", view.version},
  };
  return ipc::Compact(reply);
}
