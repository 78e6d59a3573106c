#include "manager/bluez_watch.h"

#include <string>

#include "bluez/names.h"
#include "bluez/presence.h"
#include "mailbox/mailbox.h"

namespace {
constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
}  // namespace

void PostBluezChange(bool up, BluezPart part) {
  // A healthy adapter announces its own power-on at start; only a return
  // after a going matters.
  if (up && org::bluez::AdapterReady()) return;
  if (!up) org::bluez::SetAdapterReady(false);
  mailbox::Post(mailbox::Message(up ? LE_EVT_BLUEZ_UP : LE_EVT_BLUEZ_DOWN, new BluezPayload{part}));
}

BluezServiceWatch::BluezServiceWatch(sdbus::IConnection& connection)
    : proxy_(sdbus::createProxy(connection, kBusService, kBusPath)) {
  proxy_->uponSignal("NameOwnerChanged")
      .onInterface(kBusService)
      .call([](const std::string& name, const std::string& old_owner, const std::string& new_owner) {
        if (name != org::bluez::kService) return;
        if (!old_owner.empty()) PostBluezChange(false, BluezPart::kService);
        if (!new_owner.empty()) PostBluezChange(true, BluezPart::kService);
      });
  proxy_->finishRegistration();
}
