#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/device.h"
#include "bluez/gatt_characteristic.h"
#include "node/timer_queue.h"

// FNV-1a hashes of the three characteristic UUIDs and the mask bit of each.
constexpr uint32_t kCommandUuidHash = 0x9d204e6c;
constexpr uint32_t kSensorUuidHash = 0x9c8dc657;
constexpr uint32_t kFotaUuidHash = 0x05d2faae;
constexpr uint16_t kCommandBit = 1;
constexpr uint16_t kSensorBit = 2;
constexpr uint16_t kFotaBit = 4;

// Frames written to the command characteristic.
std::vector<uint8_t> InfoRequestFrame();                 // 04 00 00
std::vector<uint8_t> TimeSetFrame(uint32_t unix_time);  // 03 01 00 T0..T3, LSB first
std::vector<uint8_t> BeaconSetFrame(bool on);           // 02 01 00 B

// The gateway's session with one sensor node.
//
// Threads: the manager's message thread constructs, connects, registers
// characteristics, sends beacon commands, disconnects and destroys; the
// D-Bus event-loop thread runs the property handlers and call replies; the
// node's timer thread runs the epoch updates. Every handler reaching the
// node from the event-loop and timer threads enters through a guard: once
// the node closes (Disconnect or destruction) new entries are refused, and
// closing waits for the ones in progress, so no handler runs on a node
// being destroyed and no timer fires into destroyed proxies. A proxy that a
// re-registration replaces stops reaching the node at once and is destroyed
// once no handler is in progress.
//
// Clock: one chain of epoch updates per node (2 s after an info frame, then
// every 6 hours). Every info frame restarts it, however often the node
// reconnects or re-identifies.
class Node {
 public:
  explicit Node(const std::string& device_id);
  virtual ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Creates the device proxy and starts the first connection attempt (15 s).
  void Connect(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& object_path);
  // Creates the device proxy only; Attempt then calls Connect.
  void Prepare(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& object_path);
  void Attempt(std::chrono::microseconds timeout);
  // Drops the link on purpose (a silent node); the disconnection then
  // leads to a reconnect as any other does.
  void Relink();
  // The router's clock has become trustworthy: a node whose clock update
  // was held back gets it now, and its 6-hour cycle runs from here.
  void ClockTrusted();

  // With pacing on (the manager's), a failed attempt and a dropped link are
  // handed to the manager (LE_EVT_CONNECT_RESULT, LE_EVT_RECONNECT_SENSOR)
  // instead of asking for removal or reconnecting at once.
  static void SetPaced(bool on);
  // Reply of every Connect call; null on success.
  void ConnectCB(const sdbus::Error* error);
  void DevicePropHandler(const std::string& property, const sdbus::Variant& value);

  // Subscribes to one of the node's characteristics, chosen by the UUID's
  // hash; once all three are registered, asks the node for its info frame.
  void RegisterCharacteristic(const std::shared_ptr<sdbus::IConnection>& connection, const std::string& uuid,
                              const std::string& object_path);
  void SensorPropHandler(const std::string& property, const sdbus::Variant& value);
  void CommandPropHandler(const std::string& property, const sdbus::Variant& value);
  void FotaPropHandler(const std::string& property, const sdbus::Variant& value);

  void EpochUpdateHandler(bool aborted);
  void BeaconUpdate(const bool& on);

  // Closes the node (no reconnection, no handler from now on) and calls
  // Disconnect of the device synchronously; a failure is logged.
  void Disconnect();

  const std::string& DeviceId() const { return device_id_; }
  // The device object path; empty before Connect.
  std::string ObjectPath() const;
  std::string Name() const;
  std::array<uint8_t, 4> Version() const;
  uint16_t RegisteredMask() const;
  // Entries waiting in the node's timer queue.
  size_t PendingTimers() const { return timers_.pending(); }

 private:
  enum Role { kCommand = 0, kSensor = 1, kFota = 2, kRoles = 3 };

  // Entry state of the handlers, shared with every callback the node hands
  // out, so that a late callback finds it even after the node has gone. Its
  // mutex also guards the members below that other threads read.
  struct Guard {
    std::mutex mtx;
    std::condition_variable idle;
    int active = 0;
    bool closing = false;
  };

  using PropMember = void (Node::*)(const std::string&, const sdbus::Variant&);

  // Runs `body` unless the node is closing, counted as a handler in progress.
  template <typename Body>
  static void Entered(const std::shared_ptr<Guard>& guard, Body body);
  // Refuses new handlers and waits for those in progress.
  void Close();
  // A proxy property handler that forwards to `member` through the guard,
  // and only while the characteristic of `role` is still at `generation`
  // (the device proxy passes kRoles).
  org::bluez::PropertyHandler Guarded(PropMember member, int role, uint32_t generation);
  // The node's one clock chain: the next update is due in `milliseconds`,
  // and a pending one is cancelled.
  void ScheduleClock(int64_t milliseconds);
  // Writes a frame to the command characteristic, asynchronously.
  void WriteCommand(const std::vector<uint8_t>& frame, std::optional<std::chrono::microseconds> timeout);
  // Waits (holding `lock` on the guard) until no handler is in progress.
  void WaitIdle(std::unique_lock<std::mutex>& lock);

  const std::string device_id_;
  std::string name_;
  std::array<uint8_t, 4> version_{};
  // An epoch update found the router's clock untrusted and wrote nothing.
  bool clock_pending_ = false;
  // The pending clock update in the timer queue; 0 before the first.
  uint64_t epoch_timer_id_ = 0;
  uint16_t registered_mask_ = 0;
  std::string object_path_;

  std::unique_ptr<Device> device_;
  std::array<std::unique_ptr<GattCharacteristic>, kRoles> characteristics_;
  // Bumped when a proxy is replaced; index kRoles counts the device proxy.
  std::array<uint32_t, kRoles + 1> generations_{};

  std::function<void(const sdbus::Error*)> connect_callback_;
  std::function<void(bool)> epoch_handler_;

  const std::shared_ptr<Guard> guard_;

  // Destroyed first: its destructor joins the timer thread, which by then
  // only sees a closed node.
  timer::TimerQueue timers_;
};
