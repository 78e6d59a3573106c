#pragma once

// The options of a UCI section, declared as one table: a row per option
// with its name, the name's FNV-1a key, how its text converts, its default
// and the field it fills. One walk takes a get's "values" into a settings
// record by such a table. Options are matched by key, so a configuration
// must use the names whose keys the rows hold; a value that does not
// convert keeps the field as it was and writes one error record naming the
// option.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include <nlohmann/json.hpp>

#include "ipc/fnv.h"
#include "uci/uci.h"

namespace uci {

using json = nlohmann::json;

enum class OptionType {
  kText,      // stored as it is
  kFlag,      // UCI's spellings of true ("1", "yes", "on", "true", "enabled") or of false
  kNotFalse,  // false for UCI's spellings of false, true for any other text
  kBinary,    // an optional sign, zeros, then "0" or "1"
  kNumber,    // a whole decimal number from min to max
  kSeconds,   // a whole decimal number of at least 1
  kWord,      // 32 bits without sign ('-' negates modulo 2^32); from min to max unless min > max
};
// The error record of a refused value, by type:
//   kFlag     Option NAME is not a boolean : VALUE (as JSON)
//   kNumber   Option NAME is not a number from MIN to MAX : VALUE (as JSON)
//   kBinary, kSeconds, kWord
//             Option NAME : cannot convert "TEXT", keeping CURRENT
//   kWord out of range
//             Option NAME : "TEXT" is not in MIN..MAX, keeping CURRENT
// kText and kNotFalse take every string.

// The record of a matched option whose value is not a string, for the
// types that have no refusal of their own (kFlag and kNumber name their
// range with the value as JSON).
enum class NonString {
  kIgnored,    // "Option NAME : not a string, ignored"
  kTypeError,  // the JSON library's text for reading a string
};

template <typename Settings>
using Field = std::variant<std::string Settings::*, bool Settings::*, int Settings::*, long Settings::*,
                           unsigned Settings::*, std::chrono::seconds Settings::*>;

template <typename Settings>
struct Option {
  const char* name;
  uint32_t key;
  OptionType type;
  const char* fallback;  // the default as UCI text; null: the field keeps its initial value
  Field<Settings> field;
  long long min;
  long long max;
};

// A row; the key is the FNV-1a hash of `name`, computed at compile time in
// a constant table.
template <typename Settings, typename T>
constexpr Option<Settings> Declare(const char* name, OptionType type, const char* fallback, T Settings::*field,
                                   long long min = 0, long long max = 0) {
  return Option<Settings>{name, ipc::Fnv1a(name), type, fallback, field, min, max};
}

namespace detail {

// The converted value of one option.
struct Converted {
  std::string text;
  bool flag = false;
  long long number = 0;
};

// Converts `value` by `option`'s type; false with the option's error record
// when it does not convert. `current` is the field's value as text.
bool Convert(const char* name, OptionType type, long long min, long long max, NonString non_string,
             const json& value, const std::string& current, Converted& out);

template <typename T>
std::string Text(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "1" : "0";
  } else if constexpr (std::is_same_v<T, std::chrono::seconds>) {
    return std::to_string(value.count());
  } else {
    return std::to_string(value);
  }
}

template <typename T>
void Store(T& field, Converted&& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    field = std::move(value.text);
  } else if constexpr (std::is_same_v<T, bool>) {
    field = value.flag;
  } else if constexpr (std::is_same_v<T, std::chrono::seconds>) {
    field = std::chrono::seconds(value.number);
  } else {
    field = static_cast<T>(value.number);
  }
}

}  // namespace detail

template <typename Settings>
class OptionTable {
 public:
  template <size_t N>
  constexpr OptionTable(const Option<Settings> (&rows)[N], NonString non_string)
      : begin_(rows), end_(rows + N), non_string_(non_string) {}

  const Option<Settings>* begin() const { return begin_; }
  const Option<Settings>* end() const { return end_; }

  // Every field that has a default set to it.
  void SetDefaults(Settings& settings) const {
    for (const Option<Settings>& option : *this) {
      // The field may not be initialised yet: no current value to read.
      if (option.fallback) Set(option, json(option.fallback), settings, false);
    }
  }

  // The options of `values` (a get's "values"; anything but an object holds
  // none) into `settings`, in the order of the rows; of two members with the
  // same key the later one counts.
  void Take(const json& values, Settings& settings) const {
    if (!values.is_object()) return;
    for (const Option<Settings>& option : *this) {
      for (const auto& [name, value] : values.items()) {
        if (ipc::Fnv1a(name) == option.key) Set(option, value, settings);
      }
    }
  }

  // The same from the JSON text of a get's reply.
  void Take(const char* reply, Settings& settings) const {
    json values;
    if (ReplyValues(reply, values)) Take(values, settings);
  }

 private:
  void Set(const Option<Settings>& option, const json& value, Settings& settings, bool has_current = true) const {
    std::visit(
        [&](auto member) {
          auto& field = settings.*member;
          detail::Converted converted;
          if (detail::Convert(option.name, option.type, option.min, option.max, non_string_, value,
                              has_current ? detail::Text(field) : std::string(), converted)) {
            detail::Store(field, std::move(converted));
          }
        },
        option.field);
  }

  const Option<Settings>* begin_;
  const Option<Settings>* end_;
  NonString non_string_;
};

}  // namespace uci
