#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "node/info_frame.h"

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kFffd = "\xef\xbf\xbd";

// An info frame with `field` in the name field (zero-padded to 10 bytes).
std::vector<uint8_t> Frame(std::string_view field, std::array<uint8_t, 4> version = {1, 2, 3, 45}) {
  std::vector<uint8_t> frame(kInfoFrameSize, 0);
  frame[0] = 0x84;
  for (size_t i = 0; i < field.size() && i < kInfoNameSize; ++i) frame[kInfoNameOffset + i] = field[i];
  for (size_t i = 0; i < version.size(); ++i) frame[kInfoVersionOffset + i] = version[i];
  return frame;
}

std::string Fffd(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += kFffd;
  return out;
}

TEST(InfoFrame, NameEndsAtItsFieldAndKeepsOnlyPrintableUtf8) {
  const struct {
    const char* what;
    std::string_view field;
    std::string name;
  } cases[] = {
      {"healthy", "Room1", "Room1"},
      {"empty", "", ""},
      {"ten bytes, no zero: not into the version", "Kitchen-01", "Kitchen-01"},
      {"first zero ends it", "Ab\0cd\0ef"sv, "Ab"},
      {"quotes, markup, blanks kept", "<a>'\"& x ", "<a>'\"& x "},
      {"C0 controls", "a\nb\rc\td\x01", "a" + Fffd(1) + "b" + Fffd(1) + "c" + Fffd(1) + "d" + Fffd(1)},
      {"ANSI escape sequence", "\x1b[2J<b>", Fffd(1) + "[2J<b>"},
      {"DEL", "x\x7f", "x" + Fffd(1)},
      {"C1 control as UTF-8", "\xc2\x9b" "2J", Fffd(1) + "2J"},
      {"multi-byte characters kept", "K\xc3\xa4" "\xe2\x82\xac" "\xf0\x9f\x98\x80", "K\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"no-break space kept", "a\xc2\xa0" "b", "a\xc2\xa0" "b"},
      {"stray bytes", "\xff\x80" "a\xfe", Fffd(2) + "a" + Fffd(1)},
      {"overlong forms", "\xc0\xaf" "\xe0\x80\xaf" "\xc1\xbf", Fffd(7)},
      {"surrogate", "\xed\xa0\x80" "z", Fffd(3) + "z"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", Fffd(4)},
      {"sequence cut by a zero byte", "ab\xe2\x82\0c"sv, "ab" + Fffd(1)},
      {"line and paragraph separators", "a\xe2\x80\xa8" "b\xe2\x80\xa9", "a" + Fffd(1) + "b" + Fffd(1)},
      {"bidirectional override and isolate", "\xe2\x80\xae" "ab\xe2\x81\xa6", Fffd(1) + "ab" + Fffd(1)},
      {"two-byte character filling the field", "Kitchen-\xc3\xa4", "Kitchen-\xc3\xa4"},
  };
  for (const auto& c : cases) {
    const NodeIdentity identity = DecodeInfoFrame(Frame(c.field));
    EXPECT_EQ(identity.name, c.name) << c.what;
    EXPECT_EQ(identity.version, (std::array<uint8_t, 4>{1, 2, 3, 45})) << c.what;
  }
}

// A character cut at the field's end is not completed by the version bytes
// that follow (E2 82 AC would be the euro sign).
TEST(InfoFrame, CharacterCutAtTheFieldsEndIsReplaced) {
  const NodeIdentity identity = DecodeInfoFrame(Frame("Kitchen-0\xe2", {0x82, 0xAC, 3, 45}));
  EXPECT_EQ(identity.name, "Kitchen-0" + Fffd(1));
  EXPECT_EQ(identity.version, (std::array<uint8_t, 4>{0x82, 0xAC, 3, 45}));
  EXPECT_EQ(VersionText(identity.version), "130.172.3+45");
  EXPECT_EQ(VersionText({1, 2, 3, 45}), "1.2.3+45");
}

}  // namespace
