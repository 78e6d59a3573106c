#pragma once

#include <cstdint>
#include <string>

namespace ipc {

// 32-bit FNV-1a over the bytes up to the NUL, each byte taken as a signed
// char sign-extended before the exclusive-or. Names are compared by this key.
constexpr uint32_t Fnv1a(const char* text) {
  uint32_t hash = 0x811c9dc5u;
  for (; text && *text; ++text) {
    hash ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*text)));
    hash *= 0x01000193u;
  }
  return hash;
}

inline uint32_t Fnv1a(const std::string& text) { return Fnv1a(text.c_str()); }

}  // namespace ipc
