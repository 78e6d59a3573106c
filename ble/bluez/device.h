#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

namespace org {
namespace bluez {

// Reply of an asynchronous call: null on success.
using ReplyHandler = std::function<void(const sdbus::Error* error)>;
// One changed property of a proxied object.
using PropertyHandler = std::function<void(const std::string& name, const sdbus::Variant& value)>;

// Calls of org.bluez.Device1.
class Device1_proxy {
 protected:
  explicit Device1_proxy(sdbus::IProxy& proxy) : proxy_(proxy) {}
  ~Device1_proxy() = default;

 public:
  // Asynchronous; `handler` runs on the connection's event-loop thread.
  void Connect(ReplyHandler handler, std::chrono::microseconds timeout);
  // Synchronous; throws sdbus::Error.
  void Disconnect();

 private:
  sdbus::IProxy& proxy_;
};

// A device object with its property changes. `onPropertyChanged` is given at
// construction, before the proxy is registered, and never changed after: the
// event-loop thread reads it.
class Device1 : public sdbus::ProxyInterfaces<Device1_proxy, sdbus::Properties_proxy> {
 public:
  virtual ~Device1();

 protected:
  Device1(sdbus::IConnection& connection, const std::string& object_path, PropertyHandler handler);
  void onPropertiesChanged(const std::string& interface_name,
                           const std::map<std::string, sdbus::Variant>& changed,
                           const std::vector<std::string>& invalidated) override = 0;

  PropertyHandler onPropertyChanged;
};

}  // namespace bluez
}  // namespace org

// Proxy of one node's BlueZ device object: each changed property goes to
// the handler, in ascending order of property name.
class Device : public org::bluez::Device1 {
 public:
  Device(sdbus::IConnection& connection, const std::string& object_path,
         org::bluez::PropertyHandler handler);
  ~Device() override;

 protected:
  void onPropertiesChanged(const std::string& interface_name,
                           const std::map<std::string, sdbus::Variant>& changed,
                           const std::vector<std::string>& invalidated) override;
};
