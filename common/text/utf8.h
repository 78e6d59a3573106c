#pragma once

#include <cstddef>
#include <cstdint>

namespace text {

// One step through UTF-8 text: a well-formed sequence (RFC 3629: shortest
// form, no surrogates, nothing above U+10FFFF) and its code point, or the
// ill-formed bytes to take as one unit: the longest start of a well-formed
// sequence found there, at least one byte (as Unicode's "maximal subpart";
// Python's and the WHATWG decoders replace the same units).
struct Utf8Step {
  size_t length;
  char32_t code_point;
  bool valid;
};

// The step at `at`; `at` < `end`.
inline Utf8Step NextUtf8(const unsigned char* at, const unsigned char* end) {
  const unsigned char lead = at[0];
  if (lead < 0x80) return {1, lead, true};
  size_t trail = 0;
  char32_t code_point = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {1, 0, false};  // a continuation byte, C0, C1 or F5..FF
  }
  size_t length = 1;
  for (; length <= trail; ++length) {
    if (at + length >= end) return {length, 0, false};  // cut short
    const unsigned char next = at[length];
    if (next < low || next > high) return {length, 0, false};
    code_point = (code_point << 6) | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {length, code_point, true};
}

// C0 controls, DEL and the C1 controls.
inline bool IsControl(char32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

}  // namespace text
