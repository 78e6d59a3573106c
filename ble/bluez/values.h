#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sdbus-c++/Types.h>

namespace org {
namespace bluez {

// Reads of the property values BlueZ sends; each throws sdbus::Error when the
// variant holds another type.
bool VariantToBool(const sdbus::Variant& value);            // "b"
int16_t VariantToInt16(const sdbus::Variant& value);        // "n"
std::vector<uint8_t> VariantToBytes(const sdbus::Variant& value);  // "ay"

}  // namespace bluez
}  // namespace org
