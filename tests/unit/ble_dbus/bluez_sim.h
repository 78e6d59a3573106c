#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include "sandbox.h"

namespace bletest {

// A private system bus with the simulated BlueZ of platform/bluez, started
// for one test and stopped with it. DBUS_SYSTEM_BUS_ADDRESS points at it, so
// sdbus::createSystemBusConnection() reaches it.
class BluezSim {
 public:
  // `powered`: the adapter starts powered; without `bluez` only the bus runs.
  explicit BluezSim(bool powered = true, bool bluez = true);
  ~BluezSim();
  BluezSim(const BluezSim&) = delete;
  BluezSim& operator=(const BluezSim&) = delete;

  bool ok() const { return ok_; }
  // Why the start failed.
  const std::string& failure() const { return failure_; }
  const std::string& address() const { return address_; }

  // Control calls (interface org.bluez.Mock on "/").
  std::string AddNode(const std::string& name, const std::string& mac,
                      const std::map<std::string, sdbus::Variant>& options = {});
  bool Notify(const std::string& path, const std::string& role, const std::vector<uint8_t>& data);
  void Drop(const std::string& path);
  void SetConnectMode(const std::string& path, const std::string& mode);
  void FailMethod(const std::string& path, const std::string& method, const std::string& error);
  void EmitDeviceProperties(const std::string& path, const std::map<std::string, sdbus::Variant>& properties);
  // Faults of BlueZ itself: the adapter powered off or on, unplugged or
  // plugged in again, bluetoothd restarting (gone at once, back `down_ms`
  // later, with the adapter unpowered, registered `adapter_delay_ms` after
  // the name).
  void PowerAdapter(bool on);
  void RemoveAdapter();
  void AddAdapter();
  void RestartBluez(uint32_t down_ms, uint32_t adapter_delay_ms = 0);
  nlohmann::json NodeState(const std::string& path);
  nlohmann::json State();
  nlohmann::json Journal();

  // Journal entries of `call` on `path` or an object under it (any path
  // when empty), optionally of one characteristic role.
  std::vector<nlohmann::json> Calls(const std::string& call, const std::string& path = "",
                                    const std::string& role = "");
  // Bytes of every WriteValue to the node's command characteristic.
  std::vector<std::vector<uint8_t>> CommandWrites(const std::string& path);

 private:
  sdbus::IProxy& Control();

  std::string dir_;
  std::string address_;
  std::unique_ptr<testsupport::Process> server_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> control_;
  bool ok_ = false;
  std::string failure_;
};

// Polls `predicate` every 10 ms until it holds or `timeout` passes.
template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace bletest
