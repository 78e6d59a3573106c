#pragma once

namespace org {
namespace bluez {

// BlueZ's bus name and the one adapter the gateway drives.
constexpr const char* kService = "org.bluez";
constexpr const char* kAdapterPath = "/org/bluez/hci0";

constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";

}  // namespace bluez
}  // namespace org
