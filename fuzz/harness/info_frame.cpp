// A notification on the command characteristic: the node's info frame
// (name and firmware version) and anything else a node may send there. Each
// input gets a session of its own: every info frame starts an epoch-update
// chain that lives as long as its node, so one long-lived node would grow
// with every input.

#include <sdbus-c++/sdbus-c++.h>

#include <string>
#include <vector>

#include "harness.h"
#include "node/node.h"
#include "text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> frame(data, data + size);
  Node node("0123456789AB");
  node.CommandPropHandler("Value", sdbus::Variant(frame));

  const bool info = size == 16 && data[0] == 0x84;
  if (info) {
    // At most the 10 bytes of the name field, each kept or replaced by
    // U+FFFD (3 bytes); well-formed UTF-8 without a control character.
    const std::string name = node.Name();
    FUZZ_EXPECT(name.size() <= 30);
    const auto* at = reinterpret_cast<const unsigned char*>(name.data());
    const auto* end = at + name.size();
    while (at < end) {
      const text::Utf8Step step = text::NextUtf8(at, end);
      FUZZ_EXPECT(step.valid && !text::IsControl(step.code_point));
      at += step.length;
    }
    const auto version = node.Version();
    for (int i = 0; i < 4; ++i) FUZZ_EXPECT(version[i] == data[12 + i]);
  } else {
    FUZZ_EXPECT(node.Name().empty());
  }
  return 0;
}
