#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/adapter1.h"
#include "mailbox/message.h"
#include "manager/bluez_watch.h"
#include "manager/interface_event.h"
#include "manager/messages.h"

// The daemon's BLE central: owns the system-bus connection, the adapter and
// the ObjectManager proxy, and carries out every change to the nodes on its
// message thread, one mailbox message per 10 ms. When BlueZ leaves the bus,
// or its adapter is removed or powered off, it drops every node and, once
// BlueZ and the adapter are back, sets the adapter up again; discovery then
// finds the nodes in range afresh.
class BluetoothLE {
 public:
  BluetoothLE() = default;
  // The message thread must have been joined (Stop).
  virtual ~BluetoothLE();
  BluetoothLE(const BluetoothLE&) = delete;
  BluetoothLE& operator=(const BluetoothLE&) = delete;

  // Starts the message thread, powers the adapter, sets the discovery
  // filter, watches BlueZ's objects, makes BlueZ forget the recorded nodes
  // and starts discovery. Returns true; throws sdbus::Error when the bus or
  // BlueZ fails.
  bool Initialize();
  void MessageThread();
  // Ends the message thread, stops discovery, disconnects and destroys every
  // node and leaves the event loop; whatever of that fails is logged and the
  // rest still done. Also right after a failed or missing Initialize.
  void Stop();

 private:
  void Handle(mailbox::Message& message);
  void AddSensor(const std::string& device_id, const std::string& object_path);
  void RemoveSensor(const std::string& device_id);
  void BluezDown(BluezPart part);
  void BluezUp();
  // Powers the adapter, sets the discovery filter and starts discovery;
  // on a failure tries again a second later, silently.
  void SetUpAdapter();

  std::shared_ptr<sdbus::IConnection> connection;
  std::unique_ptr<org::bluez::Adapter1> adapter;
  std::unique_ptr<InterfaceEvent> interfaceEvent;
  std::unique_ptr<BluezServiceWatch> serviceWatch;
  std::thread messageThread;
  std::atomic<bool> running{false};
  bool eventLoopRunning = false;
  // Message thread only: BlueZ or the adapter is gone (logged once), and
  // when the next set-up attempt is due.
  bool outage = false;
  bool setupPending = false;
  std::chrono::steady_clock::time_point nextSetup;
};
