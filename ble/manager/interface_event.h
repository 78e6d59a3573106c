#pragma once

#include <map>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

// The ObjectManager proxy of BlueZ's "/": turns announced sensor devices and
// their characteristics into manager messages. Its handlers run on the
// event-loop thread, read only the whitelist and post to the mailbox.
class InterfaceEvent : public sdbus::ProxyInterfaces<sdbus::ObjectManager_proxy> {
 public:
  explicit InterfaceEvent(sdbus::IConnection& connection);
  virtual ~InterfaceEvent();

 protected:
  void onInterfacesAdded(const sdbus::ObjectPath& path,
                         const std::map<std::string, std::map<std::string, sdbus::Variant>>& interfaces) override;
  void onInterfacesRemoved(const sdbus::ObjectPath& path, const std::vector<std::string>& interfaces) override;
};
