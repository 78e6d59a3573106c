#pragma once

// Writing UCI text as the router writes it.

#include <string>

#include "package.h"

namespace ucihost {

// The config file text of a package: each section as "\nconfig TYPE ['NAME']"
// (anonymous sections without a name) followed by tab-indented
// "option NAME 'VALUE'" and "list NAME 'ITEM'" lines, and a final newline.
std::string ExportConfig(const Package& package);

// One staging file line for `delta` of package `package`.
std::string FormatDelta(const std::string& package, const Delta& delta);

// `text` in single quotes, each quote written as '\''.
std::string Quote(const std::string& text);

}  // namespace ucihost
