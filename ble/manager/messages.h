#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "mailbox/mailbox.h"

// The daemon's one mailbox: D-Bus and ubus listener threads post, the BLE
// manager's message thread consumes.
extern queue::ThreadSafeQueue<mailbox::Message> g_messageQueue;

// Message codes and the payload each one carries (allocated with new by the
// poster, deleted by the consumer through DeletePayload).
enum : uint32_t {
  LE_EVT_IFACE_ADD_SENSOR = 0x2000,          // AddSensorPayload
  LE_EVT_IFACE_REMOVE_SENSOR = 0x2001,       // std::string: the device id
  LE_EVT_IFACE_ADD_CHARACTERISTIC = 0x2004,  // AddCharacteristicPayload
  LE_EVT_RECV_SENSOR_DATA = 0x2006,          // SensorDataPayload
  LE_CTRL_BEACON = 0x2007,                   // BeaconPayload
  LE_CTRL_FOLD = 0x2008,                     // FoldPayload
  LE_EVT_BLUEZ_DOWN = 0x2010,                // BluezPayload: BlueZ or its adapter went
  LE_EVT_BLUEZ_UP = 0x2011,                  // BluezPayload: BlueZ or its adapter is there again
  LE_EVT_CONNECT_RESULT = 0x2012,            // ConnectResultPayload: a Connect call answered
  LE_EVT_RECONNECT_SENSOR = 0x2013,          // std::string: the device id whose link dropped
  LE_EVT_CONNECT_RETRY = 0x2015,             // std::string: the device id whose back-off is over
};

struct AddSensorPayload {
  std::string device_id;    // last 12 characters of the advertised name
  std::string object_path;  // the device's BlueZ object path
  std::optional<int16_t> rssi;  // of the announcement, when BlueZ gave one
};

struct AddCharacteristicPayload {
  std::string uuid;         // as BlueZ announced it
  std::string object_path;  // the characteristic's object path
};

struct SensorDataPayload {
  std::string key;         // device id, plus "_" and the sensor index when it is not 0
  nlohmann::json reading;  // {"k", "ts"[, "v"]}
};

struct BeaconPayload {
  std::string device_id;
  bool beacon;
};

struct FoldPayload {
  std::string device_id;
  std::map<std::string, int> folds;
};

struct ConnectResultPayload {
  std::string device_id;
  bool ok = false;
  // The attempt failed because BlueZ or its adapter went: the outage
  // handling drops the node, nothing to retry.
  bool outage = false;
  std::string error_name;
  std::string error_message;
};

// What of BlueZ went or came back.
enum class BluezPart {
  kService,  // the "org.bluez" bus name
  kAdapter,  // the adapter object
  kPower,    // the adapter's "Powered" property
};

struct BluezPayload {
  BluezPart part;
};

// The code's name as the message thread logs it; nullptr for another code.
const char* MessageName(uint32_t type);

// Deletes the payload as the record type its code names and clears `data`.
// A message of another code (or type 0) must carry no payload.
void DeletePayload(mailbox::Message& message);
