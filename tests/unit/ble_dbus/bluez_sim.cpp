#include "bluez_sim.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace bletest {
namespace {

constexpr const char* kControl = "org.bluez.Mock";

}  // namespace

BluezSim::BluezSim(bool powered, bool bluez) {
  static int serial = 0;
  dir_ = (std::filesystem::temp_directory_path() /
          ("kelvora-bluez-" + std::to_string(getpid()) + "-" + std::to_string(++serial)))
             .string();
  std::filesystem::remove_all(dir_);
  const std::string socket = dir_ + "/system_bus_socket";
  address_ = "unix:path=" + socket;
  std::vector<std::string> argv{"/usr/bin/python3", KELVORA_BLUEZ_SIM, "serve", dir_, "--quiet"};
  if (powered) argv.push_back("--powered");
  if (!bluez) argv.push_back("--no-bluez");
  server_ = std::make_unique<testsupport::Process>(argv);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  // The socket file appears a moment before the bus accepts connections.
  const bool connected = WaitUntil(
      [this] {
        try {
          connection_ = sdbus::createSystemBusConnection();
          return true;
        } catch (const sdbus::Error&) {
          return false;
        }
      },
      std::chrono::seconds(5));
  if (!connected) {
    failure_ = "no connection to " + address_;
    return;
  }
  control_ = sdbus::createProxy(*connection_, "org.bluez", "/");
  if (!bluez) {
    ok_ = true;
    return;
  }
  ok_ = WaitUntil(
      [this] {
        try {
          State();
          return true;
        } catch (const sdbus::Error& e) {
          failure_ = e.what();
          return false;
        }
      },
      std::chrono::seconds(10));
}

BluezSim::~BluezSim() {
  control_.reset();
  connection_.reset();
  server_.reset();
  std::filesystem::remove_all(dir_);
}

sdbus::IProxy& BluezSim::Control() { return *control_; }

std::string BluezSim::AddNode(const std::string& name, const std::string& mac,
                              const std::map<std::string, sdbus::Variant>& options) {
  sdbus::ObjectPath path;
  Control().callMethod("AddSensorNode").onInterface(kControl).withArguments(name, mac, options).storeResultsTo(path);
  return path;
}

bool BluezSim::Notify(const std::string& path, const std::string& role, const std::vector<uint8_t>& data) {
  bool sent = false;
  Control()
      .callMethod("Notify")
      .onInterface(kControl)
      .withArguments(sdbus::ObjectPath(path), role, data)
      .storeResultsTo(sent);
  return sent;
}

void BluezSim::Drop(const std::string& path) {
  Control().callMethod("DropConnection").onInterface(kControl).withArguments(sdbus::ObjectPath(path));
}

void BluezSim::SetConnectMode(const std::string& path, const std::string& mode) {
  Control().callMethod("SetConnectMode").onInterface(kControl).withArguments(sdbus::ObjectPath(path), mode);
}

void BluezSim::FailMethod(const std::string& path, const std::string& method, const std::string& error) {
  Control().callMethod("FailMethod").onInterface(kControl).withArguments(sdbus::ObjectPath(path), method, error);
}

void BluezSim::EmitDeviceProperties(const std::string& path, const std::map<std::string, sdbus::Variant>& properties) {
  Control()
      .callMethod("EmitDeviceProperties")
      .onInterface(kControl)
      .withArguments(sdbus::ObjectPath(path), properties);
}

void BluezSim::PowerAdapter(bool on) {
  Control().callMethod("PowerAdapter").onInterface(kControl).withArguments(on);
}

void BluezSim::RemoveAdapter() { Control().callMethod("RemoveAdapter").onInterface(kControl); }

void BluezSim::AddAdapter() { Control().callMethod("AddAdapter").onInterface(kControl); }

void BluezSim::RestartBluez(uint32_t down_ms, uint32_t adapter_delay_ms) {
  Control().callMethod("RestartBluez").onInterface(kControl).withArguments(down_ms, adapter_delay_ms);
}

nlohmann::json BluezSim::NodeState(const std::string& path) {
  std::string text;
  Control().callMethod("NodeState").onInterface(kControl).withArguments(sdbus::ObjectPath(path)).storeResultsTo(text);
  return nlohmann::json::parse(text);
}

nlohmann::json BluezSim::State() {
  std::string text;
  Control().callMethod("State").onInterface(kControl).storeResultsTo(text);
  return nlohmann::json::parse(text);
}

nlohmann::json BluezSim::Journal() {
  std::string text;
  Control().callMethod("Journal").onInterface(kControl).storeResultsTo(text);
  return nlohmann::json::parse(text);
}

std::vector<nlohmann::json> BluezSim::Calls(const std::string& call, const std::string& path,
                                            const std::string& role) {
  std::vector<nlohmann::json> out;
  for (const auto& entry : Journal()) {
    if (entry["call"] != call) continue;
    const std::string at = entry["path"];
    if (!path.empty() && at != path && at.rfind(path + "/", 0) != 0) continue;
    if (!role.empty() && entry.value("role", "") != role) continue;
    out.push_back(entry);
  }
  return out;
}

std::vector<std::vector<uint8_t>> BluezSim::CommandWrites(const std::string& path) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& entry : Calls("WriteValue", path, "command")) out.push_back(entry["args"][0]);
  return out;
}

}  // namespace bletest
