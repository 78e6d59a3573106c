#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/adapter1.h"
#include "mailbox/message.h"
#include "manager/bluez_watch.h"
#include "manager/interface_event.h"
#include "manager/link_policy.h"
#include "manager/messages.h"
#include "node/timer_queue.h"

// Where OpenWrt's NTP client leaves its mark once the clock is synchronised.
extern const char* const kNtpSyncedMarker;

// Called on the D-Bus event-loop thread for whatever discovery delivers
// (a device announced, a device property changed).
void NoteDiscoveryActivity();

// The daemon's BLE central: owns the system-bus connection, the adapter and
// the ObjectManager proxy, and carries out every change to the nodes on its
// message thread, every waiting message per wake-up, in order. When BlueZ leaves the bus,
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
  // The link supervision's settings (defaults until called) and whether
  // the router's clock is trustworthy yet; before Initialize.
  void Configure(const links::Settings& link_settings);
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

  // Link supervision, all on the message thread: connection attempts go
  // through one queue, one in flight at a time; failed ones are retried
  // with a back-off; a periodic tick looks for silent nodes, a stalled
  // scanner and the router's clock becoming trustworthy.
  void EnqueueConnect(const std::string& device_id, std::chrono::microseconds timeout);
  void PumpConnects();
  void ForgetConnects(const std::string& device_id);
  void ConnectResult(const ConnectResultPayload& result);
  // Sets nextTick: the earliest time a supervision check is due.
  void ScheduleTick();
  void Tick();
  // Whether a message may change what the supervision waits for.
  static bool ChangesLinks(uint32_t type);
  void CheckClock();
  void CheckSilentNodes();
  void CheckScanner();

  std::unique_ptr<links::ScanWatchdog> watchdog;
  links::Settings settings;
  struct QueuedConnect {
    std::string device_id;
    std::chrono::microseconds timeout;
  };
  std::deque<QueuedConnect> connectQueue;
  std::string connectInFlight;  // device id; empty when none
  std::chrono::steady_clock::time_point connectDeadline;
  std::map<std::string, unsigned> connectRetries;  // by device id, since the last success
  std::mt19937 random{std::random_device{}()};
  bool capLogged = false;

  std::shared_ptr<sdbus::IConnection> connection;
  std::unique_ptr<org::bluez::Adapter1> adapter;
  std::unique_ptr<InterfaceEvent> interfaceEvent;
  std::unique_ptr<BluezServiceWatch> serviceWatch;
  std::thread messageThread;
  std::atomic<bool> running{false};
  // Set once Initialize is done; the message thread handles nothing before.
  std::atomic<bool> ready{false};
  // Message thread only: the last supervision check and the next one due.
  std::chrono::steady_clock::time_point lastTick;
  std::chrono::steady_clock::time_point nextTick = std::chrono::steady_clock::time_point::max();
  bool eventLoopRunning = false;
  // Message thread only: BlueZ or the adapter is gone (logged once), and
  // when the next set-up attempt is due.
  bool outage = false;
  bool setupPending = false;
  std::chrono::steady_clock::time_point nextSetup;
  // Declared last, so destroyed first: no tick is posted once the rest goes.
  timer::TimerQueue timers;
};
