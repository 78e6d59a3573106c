#include "node/node_list.h"

#include <mutex>
#include <utility>
#include <vector>

#include "events/websocket.h"
#include "log/log.h"
#include "registry/registry.h"

namespace {

std::mutex g_nodesLock;
std::vector<std::unique_ptr<Node>> g_nodes;

bool IsUnder(const std::string& object_path, const std::string& device_path) {
  if (device_path.empty() || object_path.compare(0, device_path.size(), device_path) != 0) return false;
  return object_path.size() == device_path.size() || object_path[device_path.size()] == '/';
}

}  // namespace

void AddNode(std::unique_ptr<Node> node) {
  std::lock_guard<std::mutex> lock(g_nodesLock);
  NVRAMAddNode(node->ObjectPath(), node->DeviceId());
  SendSubscribe(node->DeviceId());
  g_nodes.push_back(std::move(node));
}

Node* FindNode(const std::string& device_id) {
  std::lock_guard<std::mutex> lock(g_nodesLock);
  for (const auto& node : g_nodes) {
    if (node->DeviceId() == device_id) return node.get();
  }
  return nullptr;
}

Node* FindNodeByPath(const std::string& object_path) {
  std::lock_guard<std::mutex> lock(g_nodesLock);
  for (const auto& node : g_nodes) {
    if (IsUnder(object_path, node->ObjectPath())) return node.get();
  }
  return nullptr;
}

std::string DeleteNode(const std::string& device_id) {
  std::lock_guard<std::mutex> lock(g_nodesLock);
  std::string object_path;
  for (auto it = g_nodes.begin(); it != g_nodes.end(); ++it) {
    if ((*it)->DeviceId() != device_id) continue;
    LOG_VERB << "Delete Node : " << device_id;
    std::unique_ptr<Node> node = std::move(*it);
    node->Disconnect();
    object_path = node->ObjectPath();
    SendUnsubscribe(device_id);
    g_nodes.erase(it);
    node.reset();
    break;
  }
  LOG_VERB << "Num of Nodes : " << g_nodes.size();
  return object_path;
}

std::vector<std::string> DropAllNodes() {
  std::lock_guard<std::mutex> lock(g_nodesLock);
  std::vector<std::string> paths;
  while (!g_nodes.empty()) {
    std::unique_ptr<Node> node = std::move(g_nodes.front());
    LOG_VERB << "Delete Node : " << node->DeviceId();
    paths.push_back(node->ObjectPath());
    SendUnsubscribe(node->DeviceId());
    g_nodes.erase(g_nodes.begin());
    node.reset();
    LOG_VERB << "Num of Nodes : " << g_nodes.size();
  }
  return paths;
}

void DeleteAllNodes() {
  std::lock_guard<std::mutex> lock(g_nodesLock);
  while (!g_nodes.empty()) {
    std::unique_ptr<Node> node = std::move(g_nodes.front());
    node->Disconnect();
    g_nodes.erase(g_nodes.begin());
    node.reset();
  }
}
