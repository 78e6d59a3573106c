#pragma once

#include <memory>

#include <sdbus-c++/sdbus-c++.h>

#include "manager/messages.h"

// Tells the message thread that BlueZ or its adapter went (`up` false) or is
// there again. Called on the event-loop thread; a going also clears
// org::bluez::AdapterReady at once, so that the nodes stop retrying before
// the message thread has caught up. A return while AdapterReady holds is
// not posted.
void PostBluezChange(bool up, BluezPart part);

// Watches the bus daemon's NameOwnerChanged for "org.bluez": bluetoothd
// leaving the bus (a crash, a restart) and coming back.
class BluezServiceWatch {
 public:
  explicit BluezServiceWatch(sdbus::IConnection& connection);
  BluezServiceWatch(const BluezServiceWatch&) = delete;
  BluezServiceWatch& operator=(const BluezServiceWatch&) = delete;

 private:
  std::unique_ptr<sdbus::IProxy> proxy_;
};
