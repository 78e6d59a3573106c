#include <nlohmann/json.hpp>

#include "ipc/ubus.h"
#include "presence.h"

namespace {

// Searches the reply for the entry whose "device_id" is `node`, wherever
// the reply keeps its entries (an array or an object of them).
const nlohmann::json* FindEntry(const nlohmann::json& value, const std::string& node) {
  if (value.is_object()) {
    const auto id = value.find("device_id");
    if (id != value.end() && id->is_string() && id->get_ref<const std::string&>() == node) return &value;
  }
  if (!value.is_structured()) return nullptr;
  for (const auto& member : value) {
    if (const nlohmann::json* found = FindEntry(member, node)) return found;
  }
  return nullptr;
}

std::string Text(const nlohmann::json& entry, const char* name) {
  const auto member = entry.find(name);
  return member != entry.end() && member->is_string() ? member->get<std::string>() : std::string();
}

}  // namespace

NodeInfo NodeInfoFromReply(const char* reply, const std::string& node) {
  if (reply == nullptr) return {};
  const nlohmann::json document = nlohmann::json::parse(reply, nullptr, false);
  if (document.is_discarded()) return {};
  const nlohmann::json* entry = FindEntry(document, node);
  if (entry == nullptr) return {};
  return {Text(*entry, "name"), Text(*entry, "version")};
}

NodeInfo UBUSNodeInfo(const std::string& node) {
  NodeInfo info;
  ipc::UBUS bus(1);
  bus.Call("kelvora.ble", "nodes", "", [&](const char* reply) {
    const NodeInfo found = NodeInfoFromReply(reply, node);
    if (!found.name.empty() || !found.version.empty()) info = found;
  });
  return info;
}
