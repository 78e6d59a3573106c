#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a node says about itself in its info frame (16 bytes: 0x84, one byte
// not read, the name field of 10 bytes, major, minor, patch, build), as the
// gateway keeps it. A node is a radio device anyone in range can imitate, so
// this is the one place that decides what of its text is kept.
struct NodeIdentity {
  std::string name;
  std::array<uint8_t, 4> version{};
};

constexpr size_t kInfoFrameSize = 16;
constexpr size_t kInfoNameOffset = 2;
constexpr size_t kInfoNameSize = 10;
constexpr size_t kInfoVersionOffset = 12;

// Name and version of an info frame (the caller checks its code and size;
// a shorter frame gives an empty identity). The name ends at the field's
// first zero byte or at the field's end.
NodeIdentity DecodeInfoFrame(const std::vector<uint8_t>& frame);

// Text from a node as kept: well-formed UTF-8 stays byte for byte, printable
// punctuation and markup included; each control character (C0, DEL, C1),
// line or paragraph separator (U+2028, U+2029), bidirectional embedding,
// override or isolate (U+202A..U+202E, U+2066..U+2069) and each ill-formed
// unit of UTF-8 (see text::NextUtf8) becomes one U+FFFD.
std::string NodeText(const uint8_t* data, size_t size);

// "major.minor.patch+build", each byte a decimal number.
std::string VersionText(const std::array<uint8_t, 4>& version);
