#include "writer.h"

namespace ucihost {
namespace {

std::string EscapeQuotes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out;
}

char Prefix(Command command) {
  switch (command) {
    case Command::add:
      return '+';
    case Command::remove:
      return '-';
    case Command::rename:
      return '@';
    case Command::reorder:
      return '^';
    case Command::list_add:
      return '|';
    case Command::list_del:
      return '~';
    case Command::change:
      break;
  }
  return '\0';
}

}  // namespace

std::string Quote(const std::string& text) { return "'" + EscapeQuotes(text) + "'"; }

std::string ExportConfig(const Package& package) {
  std::string out;
  for (const auto& section : package.sections()) {
    // Types are written bare as the router does; a type that would not read
    // back bare (it holds a quote, '#', ';' or a backslash) is quoted.
    out += "\nconfig ";
    const bool bare = section.type.find_first_of("'\"#;\\") == std::string::npos;
    out += bare ? section.type : Quote(section.type);
    if (!section.anonymous) out += " " + Quote(section.name);
    out += "\n";
    for (const auto& option : section.options) {
      if (option.is_list) {
        for (const auto& item : option.items) out += "\tlist " + option.name + " " + Quote(item) + "\n";
      } else {
        out += "\toption " + option.name + " " + Quote(option.value) + "\n";
      }
    }
  }
  out += "\n";
  return out;
}

std::string FormatDelta(const std::string& package, const Delta& delta) {
  std::string line;
  const char prefix = Prefix(delta.command);
  if (prefix) line += prefix;
  line += package + "." + delta.section;
  if (delta.option) line += "." + *delta.option;
  if (delta.command == Command::remove && !delta.value) return line + "\n";
  return line + "=" + Quote(delta.value.value_or(std::string())) + "\n";
}

}  // namespace ucihost
