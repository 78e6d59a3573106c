#pragma once

// In-memory form of one UCI package and the elementary edits on it. The edits
// behave as the router's libuci applies them (naming of anonymous sections,
// in-place replacement, list conversion, deletion through empty values), and
// each edit can be recorded as a change line for the staging area.

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <vector>

namespace ucihost {

struct Option {
  std::string name;
  bool is_list = false;
  std::string value;               // when !is_list
  std::vector<std::string> items;  // when is_list
};

struct Section {
  std::string type;
  std::string name;
  bool anonymous = false;
  std::vector<Option> options;

  Option* FindOption(const std::string& option_name);
  const Option* FindOption(const std::string& option_name) const;
};

// One staged change, as a line of the staging file.
enum class Command { add, remove, change, rename, reorder, list_add, list_del };

struct Delta {
  Command command = Command::change;
  std::string section;
  std::optional<std::string> option;
  std::optional<std::string> value;
};

// Result of resolving "@type[index]".
enum class Lookup { found, missing, invalid };

class Package {
 public:
  explicit Package(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  std::list<Section>& sections() { return sections_; }
  const std::list<Section>& sections() const { return sections_; }

  // While recording, every edit that changes something appends its change
  // line to the pending list.
  void set_recording(bool recording) { recording_ = recording; }
  const std::vector<Delta>& pending() const { return pending_; }
  void ClearPending() { pending_.clear(); }

  Section* FindSection(const std::string& section_name);
  // Position of `section` among all sections.
  int IndexOf(const Section* section) const;

  // "@type[index]" or "@[index]": the index-th section of that type (any type
  // when empty); a negative index counts from the end.
  Lookup FindExtended(const std::string& reference, Section** result);

  // New anonymous section at the end, named "cfg" + counter + hash.
  Section& AddSection(const std::string& type);
  // Creates the named section, or changes the type of an existing one; an
  // empty type deletes the section. Returns the section (null when deleted).
  Section* SetSection(const std::string& section_name, const std::string& type);
  // Sets a string option; replaces a list; an empty value deletes the option.
  void SetOption(Section& section, const std::string& option, const std::string& value);
  // Appends an item; a string option becomes a list holding its old value first.
  void AddListItem(Section& section, const std::string& option, const std::string& value);
  // Removes every item equal to `value` from a list option.
  void DelListItem(Section& section, const std::string& option, const std::string& value);
  void DeleteSection(Section& section);
  void DeleteOption(Section& section, const std::string& option);
  // Removes the item at `index` of a list option.
  void DeleteListIndex(Section& section, const std::string& option, const std::string& index);
  void RenameSection(Section& section, const std::string& new_name);
  void RenameOption(Section& section, const std::string& option, const std::string& new_name);
  // Moves `section` to position `position` (clamped to the ends).
  void ReorderSection(Section& section, int position);

 private:
  void Record(Command command, const std::string& section, const std::optional<std::string>& option,
              const std::optional<std::string>& value);
  Section& Allocate(const std::string& type, const std::string& section_name);

  std::string name_;
  std::list<Section> sections_;
  int section_counter_ = 0;  // sections ever allocated in this load; names anonymous ones
  bool recording_ = false;
  std::vector<Delta> pending_;
};

// The name libuci gives an anonymous section: "cfg", the section counter as
// at least two hex digits, and the low 16 bits of a hash over the type and
// the option names and string values.
std::string AnonymousName(int counter, const Section& section);

// Character classes of names.
bool IsPlainName(const std::string& text);    // [A-Za-z0-9_]+ : option and section names
bool IsPackageName(const std::string& text);  // [A-Za-z0-9_-]+
bool IsTypeName(const std::string& text);     // printable ASCII without blanks
// Text a staged value may hold: no control characters other than tab, CR, LF.
bool IsStorableText(const std::string& text);

}  // namespace ucihost
