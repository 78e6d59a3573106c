#include <atomic>
#include <utility>

#include "bluez/adapter1.h"
#include "bluez/device.h"
#include "bluez/gatt_characteristic.h"
#include "bluez/names.h"
#include "bluez/presence.h"
#include "bluez/values.h"

namespace org {
namespace bluez {

// --- values ----------------------------------------------------------------

bool VariantToBool(const sdbus::Variant& value) { return value.get<bool>(); }

int16_t VariantToInt16(const sdbus::Variant& value) { return value.get<int16_t>(); }

std::vector<uint8_t> VariantToBytes(const sdbus::Variant& value) {
  return value.get<std::vector<uint8_t>>();
}

// --- adapter ---------------------------------------------------------------

void Adapter1_proxy::Powered(bool on) {
  proxy_.setProperty("Powered").onInterface(kAdapterInterface).toValue(sdbus::Variant(on));
}

void Adapter1_proxy::SetDiscoveryFilter(const std::map<std::string, sdbus::Variant>& filter) {
  proxy_.callMethod("SetDiscoveryFilter").onInterface(kAdapterInterface).withArguments(filter);
}

void Adapter1_proxy::RemoveDevice(const sdbus::ObjectPath& device) {
  proxy_.callMethod("RemoveDevice").onInterface(kAdapterInterface).withArguments(device);
}

void Adapter1_proxy::StartDiscovery() {
  proxy_.callMethod("StartDiscovery").onInterface(kAdapterInterface);
}

void Adapter1_proxy::StopDiscovery() {
  proxy_.callMethod("StopDiscovery").onInterface(kAdapterInterface);
}

Adapter1::Adapter1(sdbus::IConnection& connection, const std::string& object_path, PropertyHandler handler)
    : ProxyInterfaces(connection, kService, object_path), onPropertyChanged(std::move(handler)) {
  registerProxy();
}

Adapter1::~Adapter1() { unregisterProxy(); }

void Adapter1::onPropertiesChanged(const std::string&, const std::map<std::string, sdbus::Variant>& changed,
                                   const std::vector<std::string>&) {
  if (!onPropertyChanged) return;
  for (const auto& [name, value] : changed) onPropertyChanged(name, value);
}

// --- presence --------------------------------------------------------------

namespace {
std::atomic<bool> g_adapterReady{true};
}  // namespace

bool AdapterReady() { return g_adapterReady.load(); }

void SetAdapterReady(bool ready) { g_adapterReady.store(ready); }

// --- device ----------------------------------------------------------------

void Device1_proxy::Connect(ReplyHandler handler, std::chrono::microseconds timeout) {
  proxy_.callMethodAsync("Connect")
      .onInterface(kDeviceInterface)
      .withTimeout(timeout)
      .uponReplyInvoke([handler = std::move(handler)](const sdbus::Error* error) {
        if (handler) handler(error);
      });
}

void Device1_proxy::Disconnect() { proxy_.callMethod("Disconnect").onInterface(kDeviceInterface); }

Device1::Device1(sdbus::IConnection& connection, const std::string& object_path, PropertyHandler handler)
    : ProxyInterfaces(connection, kService, object_path), onPropertyChanged(std::move(handler)) {}

Device1::~Device1() = default;

// --- characteristic --------------------------------------------------------

void GattCharacteristic1_proxy::StartNotify() {
  proxy_.callMethod("StartNotify").onInterface(kGattCharacteristicInterface);
}

void GattCharacteristic1_proxy::WriteValue(const std::vector<uint8_t>& value, ReplyHandler handler,
                                           std::optional<std::chrono::microseconds> timeout) {
  const std::map<std::string, sdbus::Variant> options;
  auto call = proxy_.callMethodAsync("WriteValue").onInterface(kGattCharacteristicInterface);
  if (timeout) call.withTimeout(*timeout);
  call.withArguments(value, options).uponReplyInvoke([handler = std::move(handler)](const sdbus::Error* error) {
    if (handler) handler(error);
  });
}

GattCharacteristic1::GattCharacteristic1(sdbus::IConnection& connection, const std::string& object_path,
                                         PropertyHandler handler)
    : ProxyInterfaces(connection, kService, object_path), onPropertyChanged(std::move(handler)) {}

GattCharacteristic1::~GattCharacteristic1() = default;

}  // namespace bluez
}  // namespace org

namespace {

// Every changed property in ascending order of name (the map's order); the
// interface name and the invalidated list are not looked at.
void Dispatch(const org::bluez::PropertyHandler& handler, const std::map<std::string, sdbus::Variant>& changed) {
  if (!handler) return;
  for (const auto& [name, value] : changed) handler(name, value);
}

}  // namespace

// The most derived class registers the proxy, so no signal reaches a
// half-built object, and unregisters it first on destruction; unregistering
// waits for a handler running on the event-loop thread.
Device::Device(sdbus::IConnection& connection, const std::string& object_path,
               org::bluez::PropertyHandler handler)
    : Device1(connection, object_path, std::move(handler)) {
  registerProxy();
}

Device::~Device() { unregisterProxy(); }

void Device::onPropertiesChanged(const std::string&, const std::map<std::string, sdbus::Variant>& changed,
                                 const std::vector<std::string>&) {
  Dispatch(onPropertyChanged, changed);
}

GattCharacteristic::GattCharacteristic(sdbus::IConnection& connection, const std::string& object_path,
                                       org::bluez::PropertyHandler handler)
    : GattCharacteristic1(connection, object_path, std::move(handler)) {
  registerProxy();
}

GattCharacteristic::~GattCharacteristic() { unregisterProxy(); }

void GattCharacteristic::onPropertiesChanged(const std::string&,
                                             const std::map<std::string, sdbus::Variant>& changed,
                                             const std::vector<std::string>&) {
  Dispatch(onPropertyChanged, changed);
}
