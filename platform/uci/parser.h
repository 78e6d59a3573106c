#pragma once

// Reading UCI text: config files ("package", "config", "option", "list"
// lines) and staging files (one change per line), with the router's syntax:
// blanks separate words, '...' and "..." quote (both may span lines), a
// backslash escapes the next character outside single quotes and joins lines
// at a line end, '#' starts a comment, ';' ends a command.

#include <string>
#include <vector>

#include "package.h"

namespace ucihost {

struct ParseError {
  int line = 0;     // lines completed before the error
  size_t byte = 0;  // position in the line being parsed
  std::string reason;

  std::string Describe() const;  // "parse error (reason) at line N, byte B"
};

// Parses the text of config file `package.name()` into `package`, which is
// expected to be empty. Returns false and fills `error` on the first error;
// the package is then incomplete and must not be used.
bool ParseConfig(const std::string& text, Package& package, ParseError* error);

// One line of a staging file, split into its parts.
struct DeltaLine {
  Delta delta;
  std::string package;
};

// Splits staging file text into change lines; lines that do not parse are
// skipped, as the router does, and counted in `skipped` when given.
std::vector<DeltaLine> ParseDeltaText(const std::string& text, int* skipped = nullptr);

}  // namespace ucihost
