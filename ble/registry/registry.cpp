#include "registry/registry.h"

#include <ctime>
#include <utility>

#include "ipc/compact.h"
#include "log/log.h"
#include "uci/uci.h"

namespace {

using json = nlohmann::json;

constexpr const char* kConfig = "tavrin";

std::vector<std::string> g_whitelist;
std::vector<std::string> g_knownNodes;

// Option `name` of a node section: empty when absent, false when the
// section is not an object or the option is not a string.
bool ReadOption(const json& section, const char* name, std::string& value) {
  value.clear();
  if (!section.is_object()) return false;
  const auto option = section.find(name);
  if (option == section.end()) return true;
  if (!option->is_string()) return false;
  value = option->get<std::string>();
  return true;
}

}  // namespace

json UCIGet(const std::string& config, const std::string& section) { return uci::UCIGet(config, section); }

json UCIGet(const std::string& config, const std::string& type, const json& match) {
  return uci::UCIGet(config, type, match);
}

void UCICommit(const std::string& config) { uci::UCICommit(config); }

void LoadWhiteList() { WhiteListFrom(UCIGet(kConfig, "sys")); }

void WhiteListFrom(const json& values) {
  try {
    const json& whitelist = values.at("whitelist");
    std::vector<std::string> ids;
    if (whitelist.is_string()) {
      // A single option rather than a list.
      ids.push_back(whitelist.get<std::string>());
    } else if (whitelist.is_array()) {
      for (const auto& id : whitelist) {
        if (id.is_string()) {
          ids.push_back(id.get<std::string>());
        } else {
          LOG_ERROR << "Skip whitelist entry : " << ipc::Compact(id);
        }
      }
    } else {
      LOG_ERROR << "whitelist is neither a list nor an option : " << ipc::Compact(whitelist);
      return;
    }
    g_whitelist = std::move(ids);
  } catch (const json::exception& e) {
    LOG_ERROR << e.what();
  }
}

void LoadNode() {
  LoadWhiteList();

  std::vector<std::string> nodes;
  json request = json::object();
  request["config"] = kConfig;
  request["type"] = "node";
  uci::UCICall("get", request, [&nodes](const char* text) { NodeSectionsReply(text, nodes); });
  g_knownNodes = std::move(nodes);
}

void NodeSectionsReply(const char* text, std::vector<std::string>& nodes) {
  json values;
  if (!uci::ReplyValues(text, values)) return;
  if (!values.is_object()) {
    LOG_ERROR << "Node sections are not an object : " << ipc::Compact(values);
    return;
  }
  // Sections come in ascending order of their names.
  for (const auto& section : values.items()) {
    std::string object_path;
    std::string device_id;
    if (!ReadOption(section.value(), "obj_path", object_path) ||
        !ReadOption(section.value(), "device_id", device_id)) {
      LOG_ERROR << "Skip node section " << section.key() << " : " << ipc::Compact(section.value());
      continue;
    }
    LOG_VERB << "================================";
    LOG_VERB << "Node Info";
    LOG_VERB << "--------------------------------";
    LOG_VERB << "DEVICE ID : " << device_id;
    LOG_VERB << "OBJ PATH  : " << object_path;
    LOG_VERB << "================================";
    nodes.push_back(std::move(object_path));
  }
}

bool IsWhitelisted(const std::string& device_id) {
  for (const auto& id : g_whitelist) {
    if (id == device_id) return true;
  }
  return false;
}

const std::vector<std::string>& GetWhitelist() { return g_whitelist; }

const std::vector<std::string>& GetKnownNodes() { return g_knownNodes; }

bool NVRAMHasNode(const std::string& object_path) {
  json match = json::object();
  match["obj_path"] = object_path;
  const json values = UCIGet(kConfig, "node", match);
  return values.is_object() && !values.empty();
}

void NVRAMAddNode(const std::string& object_path, const std::string& device_id) {
  if (NVRAMHasNode(object_path)) return;

  // "@node[-1]" is the section the add created; after a failed add it would
  // be the last node recorded before, which must not be overwritten.
  if (uci::UCIAdd(kConfig, "node")) {
    json values = json::object();
    values["device_id"] = device_id;
    values["obj_path"] = object_path;
    values["time"] = static_cast<int64_t>(time(nullptr));
    uci::UCISet(kConfig, "@node[-1]", values);
  }
  UCICommit(kConfig);
  LOG_VERB << "";
}

void NVRAMDeleteNode(const std::string& object_path) {
  json match = json::object();
  match["obj_path"] = object_path;
  uci::UCIDelete(kConfig, "node", match);
  UCICommit(kConfig);
  LOG_VERB << "";
}
