#include "manager/messages.h"

const char* MessageName(uint32_t type) {
  switch (type) {
    case LE_EVT_IFACE_ADD_SENSOR: return "LE_EVT_IFACE_ADD_SENSOR";
    case LE_EVT_IFACE_REMOVE_SENSOR: return "LE_EVT_IFACE_REMOVE_SENSOR";
    case LE_EVT_IFACE_ADD_CHARACTERISTIC: return "LE_EVT_IFACE_ADD_CHARACTERISTIC";
    case LE_EVT_RECV_SENSOR_DATA: return "LE_EVT_RECV_SENSOR_DATA";
    case LE_CTRL_BEACON: return "LE_CTRL_BEACON";
    case LE_CTRL_FOLD: return "LE_CTRL_FOLD";
    case LE_EVT_BLUEZ_DOWN: return "LE_EVT_BLUEZ_DOWN";
    case LE_EVT_BLUEZ_UP: return "LE_EVT_BLUEZ_UP";
    case LE_EVT_CONNECT_RESULT: return "LE_EVT_CONNECT_RESULT";
    case LE_EVT_RECONNECT_SENSOR: return "LE_EVT_RECONNECT_SENSOR";
    case LE_EVT_CONNECT_RETRY: return "LE_EVT_CONNECT_RETRY";
    default: return nullptr;
  }
}

void DeletePayload(mailbox::Message& message) {
  switch (message.type) {
    case LE_EVT_IFACE_ADD_SENSOR: delete static_cast<AddSensorPayload*>(message.data); break;
    case LE_EVT_IFACE_REMOVE_SENSOR:
    case LE_EVT_RECONNECT_SENSOR:
    case LE_EVT_CONNECT_RETRY: delete static_cast<std::string*>(message.data); break;
    case LE_EVT_CONNECT_RESULT: delete static_cast<ConnectResultPayload*>(message.data); break;
    case LE_EVT_IFACE_ADD_CHARACTERISTIC: delete static_cast<AddCharacteristicPayload*>(message.data); break;
    case LE_EVT_RECV_SENSOR_DATA: delete static_cast<SensorDataPayload*>(message.data); break;
    case LE_CTRL_BEACON: delete static_cast<BeaconPayload*>(message.data); break;
    case LE_CTRL_FOLD: delete static_cast<FoldPayload*>(message.data); break;
    case LE_EVT_BLUEZ_DOWN:
    case LE_EVT_BLUEZ_UP: delete static_cast<BluezPayload*>(message.data); break;
    default: break;
  }
  message.data = nullptr;
}
