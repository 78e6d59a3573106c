#pragma once

namespace org {
namespace bluez {

// Whether BlueZ and its adapter are up and set up for the gateway. Cleared
// by the event-loop thread the moment it sees BlueZ, the adapter or its
// power go (before the manager has caught up), set again by the manager
// once the adapter is set up anew. While it is clear, a node neither
// retries its connection nor reports a failed attempt: the manager drops
// every node of the outage itself. True until something clears it.
bool AdapterReady();
void SetAdapterReady(bool ready);

}  // namespace bluez
}  // namespace org
