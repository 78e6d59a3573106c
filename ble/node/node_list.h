#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "node/node.h"

// The process-wide list of nodes, in insertion order, one mutex held for
// each whole list operation. Nodes are added, deleted and commanded only on
// the BLE manager's message thread (and deleted all at once by the stop,
// after that thread has ended), so a node found here stays valid on that
// thread until it deletes it.

// Records the node in UCI, announces it ("subscribe") and appends it.
void AddNode(std::unique_ptr<Node> node);

// The first node with `device_id`; null when none.
Node* FindNode(const std::string& device_id);

// The first node whose device object path is `object_path` or one of its
// parents (a characteristic lies under its device); null when none.
Node* FindNodeByPath(const std::string& object_path);

// Disconnects, announces ("unsubscribe") and destroys the first node with
// `device_id`; returns its device object path, "" when there is none.
std::string DeleteNode(const std::string& device_id);

// Announces ("unsubscribe") and destroys every node without a call to
// BlueZ, for nodes whose BlueZ objects or link have gone with BlueZ or its
// adapter; returns their device object paths, in list order.
std::vector<std::string> DropAllNodes();

// Disconnects and destroys every node, without announcements.
void DeleteAllNodes();
