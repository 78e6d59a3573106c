#include "manager/interface_event.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "bluez/names.h"
#include "bluez/values.h"
#include "ipc/fnv.h"
#include "log/log.h"
#include "manager/bluetooth_le.h"
#include "manager/bluez_watch.h"
#include "mailbox/mailbox.h"
#include "manager/messages.h"
#include "node/node.h"
#include "registry/registry.h"

namespace {

constexpr size_t kDeviceIdLength = 12;

void DeviceAdded(const std::string& path, const std::map<std::string, sdbus::Variant>& properties) {
  const auto name_property = properties.find("Name");
  if (name_property == properties.end()) return;
  const std::string name = name_property->second.get<std::string>();
  if (name.size() <= kDeviceIdLength) return;
  const std::string device_id = name.substr(name.size() - kDeviceIdLength);
  if (!IsWhitelisted(device_id)) {
    LOG_VERB << "Skip " << name;
    return;
  }
  auto payload = std::make_unique<AddSensorPayload>();
  payload->device_id = device_id;
  payload->object_path = path;
  // BlueZ sends RSSI again only when it changes: the first value comes here.
  const auto rssi = properties.find("RSSI");
  if (rssi != properties.end()) {
    try {
      payload->rssi = org::bluez::VariantToInt16(rssi->second);
    } catch (const sdbus::Error&) {
    }
  }
  mailbox::Post(LE_EVT_IFACE_ADD_SENSOR, std::move(payload));
}

// Nothing of a service is used; reading its UUID logs a service without
// one (or with one of another type) as a characteristic would be.
void ServiceAdded(const std::map<std::string, sdbus::Variant>& properties) {
  properties.at("UUID").get<std::string>();
}

void CharacteristicAdded(const std::string& path, const std::map<std::string, sdbus::Variant>& properties) {
  const std::string uuid = properties.at("UUID").get<std::string>();
  switch (ipc::Fnv1a(uuid)) {
    case kCommandUuidHash:
    case kSensorUuidHash:
    case kFotaUuidHash: {
      auto payload = std::make_unique<AddCharacteristicPayload>();
      payload->uuid = uuid;
      payload->object_path = path;
      mailbox::Post(LE_EVT_IFACE_ADD_CHARACTERISTIC, std::move(payload));
      break;
    }
    default:
      break;
  }
}

}  // namespace

InterfaceEvent::InterfaceEvent(sdbus::IConnection& connection)
    : ProxyInterfaces(connection, org::bluez::kService, "/") {
  registerProxy();
}

InterfaceEvent::~InterfaceEvent() { unregisterProxy(); }

void InterfaceEvent::onInterfacesAdded(
    const sdbus::ObjectPath& path, const std::map<std::string, std::map<std::string, sdbus::Variant>>& interfaces) {
  if (path == org::bluez::kAdapterPath && interfaces.count(org::bluez::kAdapterInterface)) {
    PostBluezChange(true, BluezPart::kAdapter);
  }
  for (const auto& [interface, properties] : interfaces) {
    // Each interface on its own: a missing or mistyped property skips only it.
    try {
      if (interface == org::bluez::kDeviceInterface) {
        NoteDiscoveryActivity();
        DeviceAdded(path, properties);
      } else if (interface == org::bluez::kGattServiceInterface) {
        ServiceAdded(properties);
      } else if (interface == org::bluez::kGattCharacteristicInterface) {
        CharacteristicAdded(path, properties);
      }
    } catch (const std::exception& e) {
      LOG_ERROR << e.what();
    }
  }
}

void InterfaceEvent::onInterfacesRemoved(const sdbus::ObjectPath& path, const std::vector<std::string>& interfaces) {
  LOG_VERB << path;
  if (path == org::bluez::kAdapterPath &&
      std::find(interfaces.begin(), interfaces.end(), org::bluez::kAdapterInterface) != interfaces.end()) {
    PostBluezChange(false, BluezPart::kAdapter);
  }
}
