#include "status/status_object.h"

#include "events/websocket.h"
#include "ipc/ubus.h"
#include "log/log.h"
#include "version/version.h"
#include "status/link_status.h"

void AddStatusObject() {
  status::Start(logging::InstalledVersionOrEmpty("kelvora-ble-app"));
  if (!g_websocketListener.AddObject("kelvora.ble", {{"status", status::StatusJson}, {"nodes", status::NodesJson}})) {
    LOG_ERROR << "Could not publish kelvora.ble";
  }
}
