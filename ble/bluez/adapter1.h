#pragma once

#include <map>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/device.h"

namespace org {
namespace bluez {

// Calls of org.bluez.Adapter1 (and its "Powered" property); all synchronous,
// each throws sdbus::Error on an error reply, a time-out or a lost bus.
class Adapter1_proxy {
 protected:
  explicit Adapter1_proxy(sdbus::IProxy& proxy) : proxy_(proxy) {}
  ~Adapter1_proxy() = default;

 public:
  // org.freedesktop.DBus.Properties.Set "ssv": Adapter1, "Powered", b.
  void Powered(bool on);
  void SetDiscoveryFilter(const std::map<std::string, sdbus::Variant>& filter);
  void RemoveDevice(const sdbus::ObjectPath& device);
  void StartDiscovery();
  void StopDiscovery();

 private:
  sdbus::IProxy& proxy_;
};

// Proxy of the adapter "/org/bluez/hci0". Each changed adapter property goes
// to `handler` (given before registration, run on the event-loop thread);
// without one the property signals are ignored.
class Adapter1 : public sdbus::ProxyInterfaces<Adapter1_proxy, sdbus::Properties_proxy> {
 public:
  Adapter1(sdbus::IConnection& connection, const std::string& object_path, PropertyHandler handler = {});
  virtual ~Adapter1();

 protected:
  void onPropertiesChanged(const std::string& interface_name,
                           const std::map<std::string, sdbus::Variant>& changed,
                           const std::vector<std::string>& invalidated) override;

 private:
  PropertyHandler onPropertyChanged;
};

}  // namespace bluez
}  // namespace org
