#pragma once

// Publishes the read-only ubus object "kelvora.ble" (methods "status" and
// "nodes") on the websocket listener's connection; call before that
// listener starts. Also starts the uptime.
void AddStatusObject();
