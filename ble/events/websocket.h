#pragma once

#include <string>

#include "ipc/ubus.h"

// The daemon's one listener (time-out 30 s); connected before main.
extern ipc::UBUSListener g_websocketListener;

// Registers WebsocketDataEventHandler for "kelvora.websocket" and starts the
// listener's server thread.
void StartWebsocketListener();

// Removes the handler and stops the listener's server thread.
void StopWebsocketListener();

// Handler of "kelvora.websocket": turns the commands "beacon" and "folds"
// into LE_CTRL_BEACON and LE_CTRL_FOLD messages; anything else is dropped.
void WebsocketDataEventHandler(const char* text);

// Announce an added or deleted node on "kelvora.websocket".
void SendSubscribe(const std::string& device_id);
void SendUnsubscribe(const std::string& device_id);
