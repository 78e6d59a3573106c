// A notification on the command characteristic: the node's info frame
// (name and firmware version) and anything else a node may send there. Each
// input gets a session of its own: every info frame starts an epoch-update
// chain that lives as long as its node, so one long-lived node would grow
// with every input.

#include <sdbus-c++/sdbus-c++.h>

#include <vector>

#include "harness.h"
#include "node/node.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> frame(data, data + size);
  Node node("0123456789AB");
  node.CommandPropHandler("Value", sdbus::Variant(frame));

  const bool info = size == 16 && data[0] == 0x84;
  if (info) {
    // The name ends at the first zero byte or at the frame's end.
    FUZZ_EXPECT(node.Name().size() <= 14);
    const auto version = node.Version();
    for (int i = 0; i < 4; ++i) FUZZ_EXPECT(version[i] == data[12 + i]);
  } else {
    FUZZ_EXPECT(node.Name().empty());
  }
  return 0;
}
