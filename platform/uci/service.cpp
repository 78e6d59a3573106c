#include "service.h"

#include <cstdlib>
#include <cstring>

#include "delta.h"

namespace ucihost {
namespace {

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Names as the requests may carry them. Option and section names allow
// [A-Za-z0-9_]; types also '-'; with `extended`, a section may be given as
// "@type[index]".
bool VerifyName(const std::string& text, bool extended, bool type) {
  if (text.empty()) return false;
  if (extended && text[0] != '@') extended = false;
  size_t i = extended ? 1 : 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (!IsAsciiAlnum(c) && c != '_' && ((!type && !extended) || c != '-')) break;
  }
  if (extended) {
    if (i >= text.size() || text[i] != '[') return false;
    const char* start = text.c_str() + i + 1;
    char* end = nullptr;
    strtol(start, &end, 10);
    return end > start && *end == ']' && *(end + 1) == '\0' && end + 1 == text.c_str() + text.size();
  }
  return i == text.size();
}

// A request member of the expected kind; members of another kind count as absent.
const Json* Member(const Json& request, const char* name, Json::value_t kind) {
  if (!request.is_object()) return nullptr;
  const auto it = request.find(name);
  if (it == request.end() || it->type() != kind) return nullptr;
  return &*it;
}
const std::string* StringMember(const Json& request, const char* name) {
  const Json* member = Member(request, name, Json::value_t::string);
  return member ? member->get_ptr<const std::string*>() : nullptr;
}
const Json* ObjectMember(const Json& request, const char* name) {
  return Member(request, name, Json::value_t::object);
}
const Json* ArrayMember(const Json& request, const char* name) {
  return Member(request, name, Json::value_t::array);
}
// True when `name` is present with another kind than `kind`.
bool Mistyped(const Json& request, const char* name, Json::value_t kind) {
  const auto it = request.find(name);
  return it != request.end() && it->type() != kind;
}

// Text of a scalar request value: strings as they are, booleans as 1 or 0,
// integers in decimal. Other kinds have none.
bool ScalarText(const Json& value, std::string* text) {
  switch (value.type()) {
    case Json::value_t::string:
      *text = value.get<std::string>();
      return true;
    case Json::value_t::boolean:
      *text = value.get<bool>() ? "1" : "0";
      return true;
    case Json::value_t::number_integer:
      *text = std::to_string(value.get<int64_t>());
      return true;
    case Json::value_t::number_unsigned:
      *text = std::to_string(value.get<uint64_t>());
      return true;
    default:
      return false;
  }
}

// A value to be stored: a scalar whose text survives the staging file.
bool StorableText(const Json& value, std::string* text) { return ScalarText(value, text) && IsStorableText(*text); }

// A list matches when one item equals `wanted`; a string option when one of
// its blank-separated words does.
bool MatchOption(const Option& option, const std::string& wanted) {
  if (option.is_list) {
    for (const auto& item : option.items) {
      if (item == wanted) return true;
    }
    return false;
  }
  const std::string& text = option.value;
  size_t start = text.find_first_not_of(" \t");
  while (start != std::string::npos) {
    const size_t end = text.find_first_of(" \t", start);
    const size_t length = (end == std::string::npos ? text.size() : end) - start;
    if (text.compare(start, length, wanted) == 0) return true;
    start = end == std::string::npos ? end : text.find_first_not_of(" \t", end);
  }
  return false;
}

// A section matches when its type is `type` (if given) and, for `match`, no
// option named in it disagrees and at least one agrees; members of `match`
// that are not scalars are ignored, and an empty `match` matches.
bool MatchSection(const Section& section, const std::string* type, const Json* match) {
  if (type && section.type != *type) return false;
  if (!match) return true;
  bool matched = false;
  bool empty = true;
  for (const auto& [name, value] : match->items()) {
    std::string wanted;
    if (!ScalarText(value, &wanted)) continue;
    for (const auto& option : section.options) {
      if (option.name != name) continue;
      if (!MatchOption(option, wanted)) return false;
      matched = true;
    }
    empty = false;
  }
  return empty || matched;
}

Json OptionJson(const Option& option) {
  if (!option.is_list) return option.value;
  Json items = Json::array();
  for (const auto& item : option.items) items.push_back(item);
  return items;
}

Json SectionJson(const Section& section, int index) {
  Json out = Json::object();
  out[".anonymous"] = section.anonymous;
  out[".type"] = section.type;
  out[".name"] = section.name;
  if (index >= 0) out[".index"] = index;
  for (const auto& option : section.options) out[option.name] = OptionJson(option);
  return out;
}

Json ChangeJson(const Delta& delta) {
  Json change = Json::array();
  change.push_back(CommandName(delta.command));
  change.push_back(delta.section);
  if (delta.option) change.push_back(*delta.option);
  if (delta.value) {
    if (delta.command == Command::reorder) {
      change.push_back(static_cast<uint32_t>(strtoul(delta.value->c_str(), nullptr, 10)));
    } else {
      change.push_back(*delta.value);
    }
  }
  return change;
}

// The section named by `reference`: a name, or "@type[index]".
Section* Resolve(Package& package, const std::string& reference) {
  if (!reference.empty() && reference[0] == '@') {
    Section* section = nullptr;
    return package.FindExtended(reference, &section) == Lookup::found ? section : nullptr;
  }
  return package.FindSection(reference);
}

// Sets option `name` of `section` from a request value: an array replaces
// the option with a list of its scalar items, a scalar replaces a list or a
// differing value.
int MergeSet(Package& package, Section* section, const std::string& name, const Json& value) {
  if (!VerifyName(name, false, false)) return kInvalidArgument;
  if (!section) return kNotFound;
  const Option* existing = section->FindOption(name);
  std::string text;
  if (value.is_array()) {
    if (existing) package.DeleteOption(*section, name);
    int result = kInvalidArgument;
    for (const auto& item : value) {
      if (!StorableText(item, &text)) continue;
      package.AddListItem(*section, name, text);
      result = kOk;
    }
    return result;
  }
  if (existing && existing->is_list) {
    package.DeleteOption(*section, name);
    if (!StorableText(value, &text)) return kInvalidArgument;
    package.SetOption(*section, name, text);
    return kOk;
  }
  if (!StorableText(value, &text)) return kInvalidArgument;
  if (!existing || existing->value != text) package.SetOption(*section, name, text);
  return kOk;
}

// Deletes `section` when `options` is null, else the options it names (a
// string or an array of strings).
int MergeDelete(Package& package, Section* section, const Json* options) {
  if (!section) return kNotFound;
  if (!options) {
    package.DeleteSection(*section);
    return kOk;
  }
  if (options->is_array()) {
    int result = kNotFound;
    for (const auto& item : *options) {
      if (!item.is_string()) continue;
      const std::string name = item.get<std::string>();
      if (!section->FindOption(name)) continue;
      package.DeleteOption(*section, name);
      result = kOk;
    }
    return result;
  }
  if (options->is_string()) {
    const std::string name = options->get<std::string>();
    if (!section->FindOption(name)) return kNotFound;
    package.DeleteOption(*section, name);
    return kOk;
  }
  return kInvalidArgument;
}

}  // namespace

Service::Service(const Store& store, ErrorLog log) : store_(store), log_(std::move(log)) {}

int Service::StatusOf(StoreStatus status, const std::string& error) const {
  switch (status) {
    case StoreStatus::ok:
      return kOk;
    case StoreStatus::invalid:
      return kInvalidArgument;
    case StoreStatus::not_found:
      return kNotFound;
    case StoreStatus::parse_error:
    case StoreStatus::io_error:
      break;
  }
  if (log_ && !error.empty()) log_(error);
  return kUnknownError;
}

int Service::Load(const std::string& config, Loaded* loaded) const {
  std::string error;
  const StoreStatus status = store_.Load(config, loaded, &error);
  if (status == StoreStatus::ok) loaded->package->set_recording(true);
  return StatusOf(status, error);
}

int Service::Stage(const Package& package) const {
  std::string error;
  return StatusOf(store_.Stage(package.name(), package.pending(), &error), error);
}

Reply Service::Handle(const std::string& method, const Json& request) const {
  using Method = Reply (Service::*)(const Json&) const;
  static const struct {
    const char* name;
    Method method;
  } kMethods[] = {
      {"configs", &Service::Configs}, {"get", &Service::Get},         {"add", &Service::Add},
      {"set", &Service::Set},         {"delete", &Service::Delete},   {"rename", &Service::Rename},
      {"order", &Service::Order},     {"changes", &Service::Changes}, {"revert", &Service::Revert},
      {"commit", &Service::Commit},
  };
  for (const auto& entry : kMethods) {
    if (method == entry.name) return (this->*entry.method)(request);
  }
  return Reply{kMethodNotFound, std::nullopt};
}

Reply Service::Get(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  if (!config) return Reply{kInvalidArgument, std::nullopt};
  Loaded loaded;
  if (const int status = Load(*config, &loaded)) return Reply{status, std::nullopt};
  Package& package = *loaded.package;

  const std::string* section_name = StringMember(request, "section");
  if (section_name) {
    // A section or option that does not exist gives success without data.
    const Section* section = Resolve(package, *section_name);
    if (!section) return Reply{};
    const std::string* option_name = StringMember(request, "option");
    if (!option_name) return Reply{kOk, Json{{"values", SectionJson(*section, -1)}}};
    const Option* option = section->FindOption(*option_name);
    if (!option) return Reply{};
    return Reply{kOk, Json{{"value", OptionJson(*option)}}};
  }

  const std::string* type = StringMember(request, "type");
  const Json* match = ObjectMember(request, "match");
  Json values = Json::object();
  int index = 0;
  for (const auto& section : package.sections()) {
    if (MatchSection(section, type, match)) values[section.name] = SectionJson(section, index);
    ++index;
  }
  return Reply{kOk, Json{{"values", std::move(values)}}};
}

Reply Service::Add(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  const std::string* type = StringMember(request, "type");
  if (!config || !type || !VerifyName(*type, false, true)) return Reply{kInvalidArgument, std::nullopt};
  const std::string* name = StringMember(request, "name");
  if (name && !VerifyName(*name, false, false)) return Reply{kInvalidArgument, std::nullopt};
  Loaded loaded;
  if (const int status = Load(*config, &loaded)) return Reply{status, std::nullopt};
  Package& package = *loaded.package;

  Section* section = name ? package.SetSection(*name, *type) : &package.AddSection(*type);
  const std::string section_name = section->name;

  // Values are applied in request order; any bad one discards the whole add.
  int error = kOk;
  if (const Json* values = ObjectMember(request, "values")) {
    for (const auto& [option, value] : values->items()) {
      std::string text;
      if (!VerifyName(option, false, false)) {
        if (!error) error = kInvalidArgument;
        continue;
      }
      if (value.is_array()) {
        for (const auto& item : value) {
          if (!StorableText(item, &text)) {
            if (!error) error = kInvalidArgument;
            continue;
          }
          package.AddListItem(*section, option, text);
        }
      } else if (!StorableText(value, &text)) {
        if (!error) error = kInvalidArgument;
      } else {
        package.SetOption(*section, option, text);
      }
    }
  }
  if (error) return Reply{error, std::nullopt};
  if (const int status = Stage(package)) return Reply{status, std::nullopt};
  return Reply{kOk, Json{{"section", section_name}}};
}

Reply Service::Set(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  const Json* values = ObjectMember(request, "values");
  const std::string* section_name = StringMember(request, "section");
  const std::string* type = StringMember(request, "type");
  const Json* match = ObjectMember(request, "match");
  if (!config || !values || (!section_name && !type && !match)) return Reply{kInvalidArgument, std::nullopt};
  // A selector of the wrong kind would widen the edit to more sections.
  if (Mistyped(request, "section", Json::value_t::string) || Mistyped(request, "type", Json::value_t::string) ||
      Mistyped(request, "match", Json::value_t::object)) {
    return Reply{kInvalidArgument, std::nullopt};
  }
  if (section_name && !VerifyName(*section_name, true, false)) return Reply{kInvalidArgument, std::nullopt};
  Loaded loaded;
  if (const int status = Load(*config, &loaded)) return Reply{status, std::nullopt};
  Package& package = *loaded.package;

  int error = kOk;
  bool touched = false;
  auto apply = [&](Section* section) {
    for (const auto& [option, value] : values->items()) {
      const int result = MergeSet(package, section, option, value);
      if (result) error = result;
      touched = true;
    }
  };
  if (section_name) {
    apply(Resolve(package, *section_name));
  } else {
    for (auto& section : package.sections()) {
      if (MatchSection(section, type, match)) apply(&section);
    }
  }
  if (!error && !touched) error = kNotFound;
  if (error) return Reply{error, std::nullopt};
  return Reply{Stage(package), std::nullopt};
}

Reply Service::Delete(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  const std::string* section_name = StringMember(request, "section");
  const std::string* type = StringMember(request, "type");
  const Json* match = ObjectMember(request, "match");
  if (!config || (!section_name && !type && !match)) return Reply{kInvalidArgument, std::nullopt};
  // A selector or option list of the wrong kind would otherwise be ignored
  // and delete more than asked: whole sections, or every section of a type.
  if (Mistyped(request, "section", Json::value_t::string) || Mistyped(request, "type", Json::value_t::string) ||
      Mistyped(request, "match", Json::value_t::object) || Mistyped(request, "option", Json::value_t::string) ||
      Mistyped(request, "options", Json::value_t::array)) {
    return Reply{kInvalidArgument, std::nullopt};
  }
  if (type && !VerifyName(*type, false, true)) return Reply{kInvalidArgument, std::nullopt};
  if (section_name && !VerifyName(*section_name, true, false)) return Reply{kInvalidArgument, std::nullopt};
  Loaded loaded;
  if (const int status = Load(*config, &loaded)) return Reply{status, std::nullopt};
  Package& package = *loaded.package;

  const Json* options = ArrayMember(request, "options");
  if (!options) options = Member(request, "option", Json::value_t::string);

  int error = kOk;
  if (section_name) {
    error = MergeDelete(package, Resolve(package, *section_name), options);
  } else {
    bool any = false;
    auto& sections = package.sections();
    for (auto it = sections.begin(); it != sections.end();) {
      Section& section = *it++;
      if (!MatchSection(section, type, match)) continue;
      any = true;
      error = MergeDelete(package, &section, options);
    }
    if (!error && !any) error = kNotFound;
  }
  if (error) return Reply{error, std::nullopt};
  return Reply{Stage(package), std::nullopt};
}

Reply Service::Rename(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  const std::string* section_name = StringMember(request, "section");
  const std::string* name = StringMember(request, "name");
  if (!config || !section_name || !name || !VerifyName(*name, false, false)) {
    return Reply{kInvalidArgument, std::nullopt};
  }
  const std::string* option = StringMember(request, "option");
  Loaded loaded;
  if (const int status = Load(*config, &loaded)) return Reply{status, std::nullopt};
  Package& package = *loaded.package;

  Section* section = package.FindSection(*section_name);
  if (!section || (option && !section->FindOption(*option))) return Reply{kNotFound, std::nullopt};
  if (option) {
    package.RenameOption(*section, *option, *name);
  } else {
    package.RenameSection(*section, *name);
  }
  return Reply{Stage(package), std::nullopt};
}

Reply Service::Order(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  const Json* sections = ArrayMember(request, "sections");
  if (!config || !sections) return Reply{kInvalidArgument, std::nullopt};
  Loaded loaded;
  if (const int status = Load(*config, &loaded)) return Reply{status, std::nullopt};
  Package& package = *loaded.package;

  int error = kOk;
  int position = 0;
  for (const auto& item : *sections) {
    if (!item.is_string()) {
      if (!error) error = kInvalidArgument;
      continue;
    }
    Section* section = package.FindSection(item.get<std::string>());
    if (!section) {
      if (!error) error = kNotFound;
      continue;
    }
    package.ReorderSection(*section, position++);
  }
  if (error) return Reply{error, std::nullopt};
  return Reply{Stage(package), std::nullopt};
}

Reply Service::Changes(const Json& request) const {
  if (const std::string* config = StringMember(request, "config")) {
    Loaded loaded;
    if (const int status = Load(*config, &loaded)) return Reply{status, std::nullopt};
    Json changes = Json::array();
    for (const auto& delta : loaded.staged) changes.push_back(ChangeJson(delta));
    return Reply{kOk, Json{{"changes", std::move(changes)}}};
  }
  const auto names = store_.ListConfigs();
  if (!names) return Reply{kNotFound, std::nullopt};
  Json all = Json::object();
  for (const auto& name : *names) {
    Loaded loaded;
    if (Load(name, &loaded) != kOk || loaded.staged.empty()) continue;
    Json changes = Json::array();
    for (const auto& delta : loaded.staged) changes.push_back(ChangeJson(delta));
    all[name] = std::move(changes);
  }
  return Reply{kOk, Json{{"changes", std::move(all)}}};
}

Reply Service::Revert(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  if (!config) return Reply{kInvalidArgument, std::nullopt};
  std::string error;
  return Reply{StatusOf(store_.Revert(*config, &error), error), std::nullopt};
}

Reply Service::Commit(const Json& request) const {
  const std::string* config = StringMember(request, "config");
  if (!config) return Reply{kInvalidArgument, std::nullopt};
  std::string error;
  return Reply{StatusOf(store_.Commit(*config, &error), error), std::nullopt};
}

Reply Service::Configs(const Json&) const {
  const auto names = store_.ListConfigs();
  if (!names) return Reply{kNotFound, std::nullopt};
  Json list = Json::array();
  for (const auto& name : *names) list.push_back(name);
  return Reply{kOk, Json{{"configs", std::move(list)}}};
}

}  // namespace ucihost
