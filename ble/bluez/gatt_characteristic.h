#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/device.h"

namespace org {
namespace bluez {

// Calls of org.bluez.GattCharacteristic1.
class GattCharacteristic1_proxy {
 protected:
  explicit GattCharacteristic1_proxy(sdbus::IProxy& proxy) : proxy_(proxy) {}
  ~GattCharacteristic1_proxy() = default;

 public:
  // Synchronous; throws sdbus::Error.
  void StartNotify();
  // Asynchronous "aya{sv}" with an empty options dictionary; without a
  // timeout the bus's default applies.
  void WriteValue(const std::vector<uint8_t>& value, ReplyHandler handler,
                  std::optional<std::chrono::microseconds> timeout = std::nullopt);

 private:
  sdbus::IProxy& proxy_;
};

// A characteristic object with its property changes; `onPropertyChanged` as
// for Device1.
class GattCharacteristic1
    : public sdbus::ProxyInterfaces<GattCharacteristic1_proxy, sdbus::Properties_proxy> {
 public:
  virtual ~GattCharacteristic1();

 protected:
  GattCharacteristic1(sdbus::IConnection& connection, const std::string& object_path,
                      PropertyHandler handler);
  void onPropertiesChanged(const std::string& interface_name,
                           const std::map<std::string, sdbus::Variant>& changed,
                           const std::vector<std::string>& invalidated) override = 0;

  PropertyHandler onPropertyChanged;
};

}  // namespace bluez
}  // namespace org

// Proxy of one of a node's characteristics.
class GattCharacteristic : public org::bluez::GattCharacteristic1 {
 public:
  GattCharacteristic(sdbus::IConnection& connection, const std::string& object_path,
                     org::bluez::PropertyHandler handler);
  ~GattCharacteristic() override;

 protected:
  void onPropertiesChanged(const std::string& interface_name,
                           const std::map<std::string, sdbus::Variant>& changed,
                           const std::vector<std::string>& invalidated) override;
};
