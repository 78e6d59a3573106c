#include "parser.h"

#include <cstring>

namespace ucihost {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

struct Failure {
  std::string reason;
  int line;
  size_t byte;
};

// Line buffer over the input text. Words are unquoted in place: the parsed
// text of a word is written over its source and NUL-terminated, so a word is
// addressed by its start offset. Continuation and multi-line quotes append
// the next input line at the current position.
class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text), buffer_(1, '\0') {}

  bool AtEnd() const { return next_ >= text_.size(); }

  // Puts the next input line, with its newline, into the buffer at `offset`.
  void GetLine(size_t offset) {
    Reserve(offset + 1);
    buffer_[offset] = '\0';
    if (AtEnd()) return;
    const size_t newline = text_.find('\n', next_);
    const size_t end = newline == std::string::npos ? text_.size() : newline + 1;
    const size_t length = end - next_;
    Reserve(offset + length + 1);
    memcpy(&buffer_[offset], text_.data() + next_, length);
    buffer_[offset + length] = '\0';
    filled = offset + length;
    if (text_[end - 1] == '\n') ++line;
    next_ = end;
  }

  char& At(size_t index) { return buffer_[index]; }
  char Cur() const { return buffer_[pos]; }
  std::string Str(size_t index) const { return std::string(&buffer_[index]); }

  size_t pos = 0;
  size_t filled = 0;
  int line = 0;

 private:
  // The buffer always ends in a NUL, so the byte after any non-NUL byte exists.
  void Reserve(size_t size) {
    if (buffer_.size() < size + 1) buffer_.resize(size + 1, '\0');
  }

  const std::string& text_;
  size_t next_ = 0;
  std::vector<char> buffer_;
};

class WordParser {
 public:
  explicit WordParser(const std::string& text) : r_(text) {}

 protected:
  [[noreturn]] void Fail(const char* reason) { throw Failure{reason, r_.line, r_.pos}; }

  void SkipWhitespace() {
    while (r_.Cur() && IsSpace(r_.Cur())) ++r_.pos;
  }

  void AddChar(size_t& target) { r_.At(target++) = r_.At(r_.pos++); }

  // At a backslash: false when it joins the next line (nothing to copy),
  // true when the character after it is taken literally.
  bool Backslash() {
    ++r_.pos;
    const char c = r_.Cur();
    if (!c || c == '\n' || (c == '\r' && r_.At(r_.pos + 1) == '\n' && !r_.At(r_.pos + 2))) {
      r_.GetLine(r_.pos);
      return false;
    }
    return true;
  }

  void DoubleQuoted(size_t& target) {
    ++r_.pos;
    for (;;) {
      const char c = r_.Cur();
      if (c == '"') {
        ++r_.pos;
        return;
      }
      if (c == '\0') {
        r_.GetLine(r_.pos);
        if (!r_.Cur()) Fail("EOF with unterminated \"");
        continue;
      }
      if (c == '\\' && !Backslash()) continue;
      AddChar(target);
    }
  }

  void SingleQuoted(size_t& target) {
    ++r_.pos;
    for (;;) {
      const char c = r_.Cur();
      if (c == '\'') {
        ++r_.pos;
        return;
      }
      if (c == '\0') {
        r_.GetLine(r_.pos);
        if (!r_.Cur()) Fail("EOF with unterminated '");
        continue;
      }
      AddChar(target);
    }
  }

  // One word, quoted parts joined with unquoted ones.
  void Word(size_t& target) {
    bool skip_separator = true;
    do {
      const char c = r_.Cur();
      if (c == '\'') {
        SingleQuoted(target);
      } else if (c == '"') {
        DoubleQuoted(target);
      } else if (c == '#') {
        r_.At(r_.pos) = '\0';
        break;
      } else if (c == '\0') {
        break;
      } else if (c == ';') {
        skip_separator = false;
        break;
      } else if (c == '\\') {
        if (Backslash()) AddChar(target);
      } else {
        AddChar(target);
      }
    } while (r_.Cur() && !IsSpace(r_.Cur()));
    if (r_.Cur() && skip_separator) ++r_.pos;
    r_.At(target) = '\0';
  }

  // Next argument of a command; returns its offset (an empty string when none).
  size_t NextArg(bool required, bool name, bool package) {
    SkipWhitespace();
    const size_t start = r_.pos;
    size_t target = r_.pos;
    if (r_.Cur() == ';') {
      r_.At(r_.pos) = '\0';
      ++r_.pos;
    } else {
      Word(target);
    }
    if (!r_.At(start)) {
      if (required) Fail("insufficient arguments");
      return start;
    }
    if (name) {
      const std::string text = r_.Str(start);
      if (package ? !IsPackageName(text) : !IsPlainName(text)) Fail("invalid character in name field");
    }
    return start;
  }

  void AssertEndOfCommand() {
    SkipWhitespace();
    const size_t extra = NextArg(false, false, false);
    if (r_.At(extra)) Fail("too many arguments");
  }

  bool IncreasePos(size_t add) {
    if (r_.pos + add > r_.filled) return false;
    r_.pos += add;
    return true;
  }

  Reader r_;
};

class ConfigParser : public WordParser {
 public:
  ConfigParser(const std::string& text, Package& package) : WordParser(text), package_(package) {}

  void Run() {
    while (!r_.AtEnd()) {
      r_.pos = 0;
      r_.GetLine(0);
      if (r_.At(0)) Line();
    }
  }

 private:
  void Line() {
    SkipWhitespace();
    for (;;) {
      // The command word ends at a blank or tab only.
      size_t start = r_.pos;
      while (r_.At(start) == ' ' || r_.At(start) == '\t') ++start;
      if (!r_.At(start)) return;
      size_t end = start;
      while (r_.At(end) && r_.At(end) != ' ' && r_.At(end) != '\t') ++end;
      if (r_.At(end)) r_.At(end) = '\0';
      const std::string word = r_.Str(start);
      const std::string rest = word.substr(1);
      switch (word[0]) {
        case '#':
          return;
        case 'p':
          if (rest.empty() || rest == "ackage") {
            PackageCommand();
            continue;
          }
          break;
        case 'c':
          if (rest.empty() || rest == "onfig") {
            ConfigCommand();
            continue;
          }
          break;
        case 'o':
          if (rest.empty() || rest == "ption") {
            OptionCommand(false);
            continue;
          }
          break;
        case 'l':
          if (rest.empty() || rest == "ist") {
            OptionCommand(true);
            continue;
          }
          break;
        default:
          break;
      }
      Fail("invalid command");
    }
  }

  size_t CommandLength() const { return r_.Str(r_.pos).size() + 1; }

  // "package NAME" is accepted and ignored: the file name names the package.
  void PackageCommand() {
    if (!IncreasePos(CommandLength())) Fail("package without name");
    NextArg(true, true, true);
    AssertEndOfCommand();
  }

  void ConfigCommand() {
    if (!IncreasePos(CommandLength())) Fail("config without name");
    const size_t type_at = NextArg(true, false, false);
    if (!IsTypeName(r_.Str(type_at))) Fail("invalid character in type field");
    const size_t name_at = NextArg(false, true, false);
    AssertEndOfCommand();
    const std::string type = r_.Str(type_at);
    const std::string name = r_.Str(name_at);

    if (name.empty()) {
      section_ = &package_.AddSection(type);
      return;
    }
    Section* existing = package_.FindSection(name);
    if (existing && existing->type != type) {
      Fail("section of different type overwrites prior section with same name");
    }
    section_ = package_.SetSection(name, type);
  }

  void OptionCommand(bool list) {
    if (!section_) Fail("option/list command found before the first section");
    if (!IncreasePos(CommandLength())) Fail("option without name");
    const size_t name_at = NextArg(true, true, false);
    const size_t value_at = NextArg(false, false, false);
    AssertEndOfCommand();
    const std::string name = r_.Str(name_at);
    const std::string value = r_.Str(value_at);
    if (list) {
      package_.AddListItem(*section_, name, value);
    } else if (!value.empty()) {
      // An option line with an empty value changes nothing.
      package_.SetOption(*section_, name, value);
    }
  }

  Package& package_;
  Section* section_ = nullptr;
};

class DeltaParser : public WordParser {
 public:
  explicit DeltaParser(const std::string& text) : WordParser(text) {}

  std::vector<DeltaLine> Run(int* skipped) {
    std::vector<DeltaLine> lines;
    while (!r_.AtEnd()) {
      r_.pos = 0;
      r_.GetLine(0);
      if (!r_.At(0)) continue;
      try {
        lines.push_back(Tuple());
      } catch (const Failure&) {
        if (skipped) ++*skipped;
      }
    }
    return lines;
  }

 private:
  DeltaLine Tuple() {
    const size_t at = NextArg(false, false, false);
    if (r_.Cur()) Fail("trailing text");
    std::string text = r_.Str(at);

    DeltaLine line;
    Command command = Command::change;
    static const struct {
      char prefix;
      Command command;
    } kPrefixes[] = {{'+', Command::add},     {'-', Command::remove},   {'@', Command::rename},
                     {'^', Command::reorder}, {'|', Command::list_add}, {'~', Command::list_del}};
    for (const auto& entry : kPrefixes) {
      if (!text.empty() && text[0] == entry.prefix) {
        command = entry.command;
        text.erase(0, 1);
        break;
      }
    }
    line.delta.command = command;

    const size_t equals = text.find('=');
    if (equals != std::string::npos) {
      line.delta.value = text.substr(equals + 1);
      text.resize(equals);
    }
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
      const size_t dot = text.find('.', from);
      parts.push_back(text.substr(from, dot == std::string::npos ? std::string::npos : dot - from));
      if (dot == std::string::npos) break;
      from = dot + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) Fail("bad reference");
    line.package = parts[0];
    line.delta.section = parts[1];
    if (parts.size() == 3) line.delta.option = parts[2];

    const auto& d = line.delta;
    if (!IsTypeName(line.package) || !IsPlainName(d.section)) Fail("bad reference");
    if (d.option && !IsPlainName(*d.option)) Fail("bad reference");
    if (d.value && !IsStorableText(*d.value)) Fail("bad value");
    if (command != Command::remove && !d.value) Fail("missing value");
    if (command == Command::reorder && d.option) Fail("bad reorder");
    if (command == Command::rename && !IsPlainName(*d.value)) Fail("bad rename");
    if ((command == Command::list_add || command == Command::list_del) && !d.option) Fail("missing option");
    return line;
  }
};

}  // namespace

std::string ParseError::Describe() const {
  return "parse error (" + reason + ") at line " + std::to_string(line) + ", byte " + std::to_string(byte);
}

bool ParseConfig(const std::string& text, Package& package, ParseError* error) {
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    if (error) {
      int line = 0;
      for (size_t i = 0; i < nul; ++i) line += text[i] == '\n';
      *error = ParseError{line, 0, "NUL byte in file"};
    }
    return false;
  }
  try {
    ConfigParser(text, package).Run();
  } catch (const Failure& failure) {
    if (error) *error = ParseError{failure.line, failure.byte, failure.reason};
    return false;
  }
  return true;
}

std::vector<DeltaLine> ParseDeltaText(const std::string& text, int* skipped) {
  return DeltaParser(text).Run(skipped);
}

}  // namespace ucihost
