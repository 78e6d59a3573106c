// The reply of the BLE daemon's get of every "node" section at start.

#include <string>
#include <vector>

#include "harness.h"
#include "registry/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  std::vector<std::string> nodes;
  NodeSectionsReply(text.c_str(), nodes);
  // At most one path per section, and a section needs at least "{}".
  FUZZ_EXPECT(nodes.size() <= size / 2);
  return 0;
}
