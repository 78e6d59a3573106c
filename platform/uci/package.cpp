#include "package.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ucihost {
namespace {

bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Bernstein's hash as libuci chains it: start value 5381 on the first string,
// each byte taken as a signed char, the top bit cleared after each string.
uint32_t ChainHash(uint32_t hash, const std::string& text, bool first) {
  if (first) hash = 5381;
  for (const char c : text) {
    hash = (hash << 5) + hash + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  }
  return hash & 0x7FFFFFFFu;
}

}  // namespace

Option* Section::FindOption(const std::string& option_name) {
  for (auto& option : options) {
    if (option.name == option_name) return &option;
  }
  return nullptr;
}

const Option* Section::FindOption(const std::string& option_name) const {
  for (const auto& option : options) {
    if (option.name == option_name) return &option;
  }
  return nullptr;
}

std::string AnonymousName(int counter, const Section& section) {
  uint32_t hash = ChainHash(0, section.type, true);
  for (const auto& option : section.options) {
    hash = ChainHash(hash, option.name, false);
    if (!option.is_list) hash = ChainHash(hash, option.value, false);
  }
  char buffer[32];
  snprintf(buffer, sizeof(buffer), "cfg%02x%04x", static_cast<unsigned>(counter), hash % (1u << 16));
  return buffer;
}

bool IsPlainName(const std::string& text) {
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return IsAlnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

bool IsPackageName(const std::string& text) {
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return IsAlnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
  });
}

bool IsTypeName(const std::string& text) {
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 33 && u <= 126;
  });
}

bool IsStorableText(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 32 || c == '\t' || c == '\n' || c == '\r';
  });
}

Section* Package::FindSection(const std::string& section_name) {
  for (auto& section : sections_) {
    if (section.name == section_name) return &section;
  }
  return nullptr;
}

int Package::IndexOf(const Section* section) const {
  int index = 0;
  for (const auto& candidate : sections_) {
    if (&candidate == section) return index;
    ++index;
  }
  return -1;
}

Lookup Package::FindExtended(const std::string& reference, Section** result) {
  *result = nullptr;
  if (reference.size() < 2 || reference[0] != '@') return Lookup::invalid;
  const size_t open = reference.find('[', 1);
  if (open == std::string::npos) return Lookup::invalid;
  const size_t close = reference.find(']', open + 1);
  if (close == std::string::npos || close + 1 != reference.size()) return Lookup::invalid;

  const std::string type = reference.substr(1, open - 1);
  const std::string index_text = reference.substr(open + 1, close - open - 1);
  char* end = nullptr;
  long index = strtol(index_text.c_str(), &end, 10);
  if (end && *end) return Lookup::invalid;
  if (!type.empty() && !IsTypeName(type)) return Lookup::invalid;

  auto matches = [&type](const Section& section) { return type.empty() || section.type == type; };
  if (index < 0) {
    index += std::count_if(sections_.begin(), sections_.end(), matches);
  }
  long position = 0;
  for (auto& section : sections_) {
    if (!matches(section)) continue;
    if (position == index) {
      *result = &section;
      return Lookup::found;
    }
    ++position;
  }
  return Lookup::missing;
}

void Package::Record(Command command, const std::string& section, const std::optional<std::string>& option,
                     const std::optional<std::string>& value) {
  if (!recording_) return;
  pending_.push_back(Delta{command, section, option, value});
}

Section& Package::Allocate(const std::string& type, const std::string& section_name) {
  ++section_counter_;
  sections_.emplace_back();
  Section& section = sections_.back();
  section.type = type;
  section.name = section_name;
  section.anonymous = section_name.empty();
  return section;
}

Section& Package::AddSection(const std::string& type) {
  Section& section = Allocate(type, std::string());
  section.name = AnonymousName(section_counter_, section);
  Record(Command::add, section.name, std::nullopt, type);
  return section;
}

Section* Package::SetSection(const std::string& section_name, const std::string& type) {
  Section* section = FindSection(section_name);
  if (type.empty()) {
    if (section) DeleteSection(*section);
    return nullptr;
  }
  if (!section) {
    section = &Allocate(type, section_name);
  } else if (section->type == type) {
    return section;
  } else {
    section->type = type;
  }
  Record(Command::change, section_name, std::nullopt, type);
  return section;
}

void Package::SetOption(Section& section, const std::string& option, const std::string& value) {
  Option* existing = section.FindOption(option);
  if (value.empty()) {
    if (existing) DeleteOption(section, option);
    return;
  }
  if (!existing) {
    Option created;
    created.name = option;
    created.value = value;
    section.options.push_back(std::move(created));
  } else if (!existing->is_list && existing->value == value) {
    return;
  } else {
    existing->is_list = false;
    existing->items.clear();
    existing->value = value;
  }
  Record(Command::change, section.name, option, value);
}

void Package::AddListItem(Section& section, const std::string& option, const std::string& value) {
  Option* existing = section.FindOption(option);
  if (!existing) {
    Option created;
    created.name = option;
    created.is_list = true;
    section.options.push_back(std::move(created));
    existing = &section.options.back();
  } else if (!existing->is_list) {
    existing->is_list = true;
    existing->items = {existing->value};
    existing->value.clear();
  }
  existing->items.push_back(value);
  Record(Command::list_add, section.name, option, value);
}

void Package::DelListItem(Section& section, const std::string& option, const std::string& value) {
  Option* existing = section.FindOption(option);
  if (!existing || !existing->is_list) return;
  Record(Command::list_del, section.name, option, value);
  auto& items = existing->items;
  items.erase(std::remove(items.begin(), items.end(), value), items.end());
}

void Package::DeleteSection(Section& section) {
  Record(Command::remove, section.name, std::nullopt, std::nullopt);
  sections_.remove_if([&section](const Section& candidate) { return &candidate == &section; });
}

void Package::DeleteOption(Section& section, const std::string& option) {
  Record(Command::remove, section.name, option, std::nullopt);
  auto& options = section.options;
  for (auto it = options.begin(); it != options.end(); ++it) {
    if (it->name == option) {
      options.erase(it);
      return;
    }
  }
}

void Package::DeleteListIndex(Section& section, const std::string& option, const std::string& index_text) {
  Option* existing = section.FindOption(option);
  int index = 0;
  if (!existing || !existing->is_list || sscanf(index_text.c_str(), "%d", &index) != 1) return;
  if (index < 0 || static_cast<size_t>(index) >= existing->items.size()) return;
  Record(Command::remove, section.name, option, index_text);
  existing->items.erase(existing->items.begin() + index);
}

void Package::RenameSection(Section& section, const std::string& new_name) {
  Record(Command::rename, section.name, std::nullopt, new_name);
  section.name = new_name;
  section.anonymous = false;
}

void Package::RenameOption(Section& section, const std::string& option, const std::string& new_name) {
  Option* existing = section.FindOption(option);
  if (!existing) return;
  Record(Command::rename, section.name, option, new_name);
  existing->name = new_name;
}

void Package::ReorderSection(Section& section, int position) {
  auto current = sections_.begin();
  int old_index = 0;
  while (current != sections_.end() && &*current != &section) {
    ++current;
    ++old_index;
  }
  if (current == sections_.end()) return;

  // Index among the other sections at which it is put back.
  const int others = static_cast<int>(sections_.size()) - 1;
  const int new_index = std::min(std::max(position, 0), others);
  if (new_index == old_index) return;

  auto target = sections_.begin();
  int passed = 0;
  while (passed < new_index + (new_index > old_index ? 1 : 0)) {
    ++target;
    ++passed;
  }
  sections_.splice(target, sections_, current);
  Record(Command::reorder, section.name, std::nullopt, std::to_string(position));
}

}  // namespace ucihost
