#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace ipc {

// JSON text as the bus carries it: no blanks, members in key order,
// non-ASCII bytes passed through; invalid UTF-8 is replaced rather than
// thrown on.
inline std::string Compact(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ipc
