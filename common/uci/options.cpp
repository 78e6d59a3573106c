#include "uci/options.h"

#include <cerrno>
#include <cstdlib>

#include <boost/lexical_cast.hpp>

#include "ipc/compact.h"
#include "log/log.h"

namespace uci {

namespace detail {

namespace {

bool IsTrue(const std::string& text) {
  return text == "1" || text == "yes" || text == "on" || text == "true" || text == "enabled";
}

bool IsFalse(const std::string& text) {
  return text == "0" || text == "no" || text == "off" || text == "false" || text == "disabled";
}

// Whole decimal text (leading blanks and a sign allowed) from min to max.
bool WholeNumber(const std::string& text, long long min, long long max, long long& number) {
  try {
    size_t used = 0;
    number = std::stoll(text, &used, 10);
    return used == text.size() && number >= min && number <= max;
  } catch (const std::exception&) {
    return false;
  }
}

void NotABoolean(const char* name, const json& value) {
  LOG_ERROR << "Option " << name << " is not a boolean : " << ipc::Compact(value);
}

void NotANumber(const char* name, long long min, long long max, const json& value) {
  LOG_ERROR << "Option " << name << " is not a number from " << min << " to " << max << " : "
            << ipc::Compact(value);
}

void CannotConvert(const char* name, const std::string& text, const std::string& current) {
  LOG_ERROR << "Option " << name << " : cannot convert \"" << text << "\", keeping " << current;
}

}  // namespace

bool Convert(const char* name, OptionType type, long long min, long long max, NonString non_string,
             const json& value, const std::string& current, Converted& out) {
  if (!value.is_string()) {
    if (type == OptionType::kFlag) {
      NotABoolean(name, value);
    } else if (type == OptionType::kNumber) {
      NotANumber(name, min, max, value);
    } else if (non_string == NonString::kIgnored) {
      LOG_ERROR << "Option " << name << " : not a string, ignored";
    } else {
      try {
        value.get<std::string>();
      } catch (const json::exception& e) {
        LOG_ERROR << e.what();
      }
    }
    return false;
  }
  const std::string& text = value.get_ref<const std::string&>();
  switch (type) {
    case OptionType::kText:
      out.text = text;
      return true;
    case OptionType::kFlag:
      if (IsTrue(text) || IsFalse(text)) {
        out.flag = IsTrue(text);
        return true;
      }
      NotABoolean(name, value);
      return false;
    case OptionType::kNotFalse:
      out.flag = !IsFalse(text);
      return true;
    case OptionType::kBinary:
      try {
        out.flag = boost::lexical_cast<bool>(text);
        return true;
      } catch (const boost::bad_lexical_cast&) {
        CannotConvert(name, text, current);
        return false;
      }
    case OptionType::kNumber:
      if (WholeNumber(text, min, max, out.number)) return true;
      NotANumber(name, min, max, value);
      return false;
    case OptionType::kSeconds: {
      char* end = nullptr;
      errno = 0;
      const long seconds = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || errno != 0 || seconds < 1) {
        CannotConvert(name, text, current);
        return false;
      }
      out.number = seconds;
      return true;
    }
    case OptionType::kWord:
      try {
        const uint32_t word = boost::lexical_cast<uint32_t>(text);
        // A '-' before a non-zero number is outside every range.
        const bool negative = text.find('-') != std::string::npos && word != 0;
        if (min <= max && (negative || word < min || word > max)) {
          LOG_ERROR << "Option " << name << " : \"" << text << "\" is not in " << min << ".." << max
                    << ", keeping " << current;
          return false;
        }
        // Kept modulo 2^32 in the field: 4294967295 is -1 in an int.
        out.number = static_cast<int32_t>(word);
        return true;
      } catch (const boost::bad_lexical_cast&) {
        CannotConvert(name, text, current);
        return false;
      }
  }
  return false;
}

}  // namespace detail

}  // namespace uci
