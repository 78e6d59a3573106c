#include "node/info_frame.h"

#include <algorithm>
#include <cstdio>

#include "text/utf8.h"

namespace {

constexpr char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

// Code points that would break or reorder the line a name is shown on.
bool Hidden(char32_t code_point) {
  return text::IsControl(code_point) || code_point == 0x2028 || code_point == 0x2029 ||
         (code_point >= 0x202A && code_point <= 0x202E) || (code_point >= 0x2066 && code_point <= 0x2069);
}

}  // namespace

std::string NodeText(const uint8_t* data, size_t size) {
  std::string out;
  const uint8_t* at = data;
  const uint8_t* const end = data + size;
  while (at < end) {
    const text::Utf8Step step = text::NextUtf8(at, end);
    if (!step.valid || Hidden(step.code_point)) {
      out += kReplacement;
    } else {
      out.append(reinterpret_cast<const char*>(at), step.length);
    }
    at += step.length;
  }
  return out;
}

NodeIdentity DecodeInfoFrame(const std::vector<uint8_t>& frame) {
  NodeIdentity identity;
  if (frame.size() < kInfoFrameSize) return identity;
  const uint8_t* name = frame.data() + kInfoNameOffset;
  const uint8_t* name_end = std::find(name, name + kInfoNameSize, 0);
  identity.name = NodeText(name, static_cast<size_t>(name_end - name));
  std::copy_n(frame.begin() + kInfoVersionOffset, identity.version.size(), identity.version.begin());
  return identity;
}

std::string VersionText(const std::array<uint8_t, 4>& version) {
  char text[20];
  std::snprintf(text, sizeof text, "%d.%d.%d+%d", version[0], version[1], version[2], version[3]);
  return text;
}
