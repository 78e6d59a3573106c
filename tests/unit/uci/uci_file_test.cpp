// UCI text: reading config files, writing them back, naming anonymous
// sections, staging lines.

#include <gtest/gtest.h>

#include <string>

#include "delta.h"
#include "package.h"
#include "parser.h"
#include "writer.h"

namespace ucihost {
namespace {

Package Parse(const std::string& text) {
  Package package("tavrin");
  ParseError error;
  EXPECT_TRUE(ParseConfig(text, package, &error)) << error.Describe();
  return package;
}

ParseError ParseFailure(const std::string& text) {
  Package package("tavrin");
  ParseError error;
  EXPECT_FALSE(ParseConfig(text, package, &error)) << text;
  return error;
}

const Option& OptionOf(Package& package, const std::string& section, const std::string& option) {
  Section* found = package.FindSection(section);
  EXPECT_NE(found, nullptr) << section;
  static const Option kMissing{};
  if (!found) return kMissing;
  const Option* value = found->FindOption(option);
  EXPECT_NE(value, nullptr) << section << "." << option;
  return value ? *value : kMissing;
}

// The whole model as text, for comparing two packages.
std::string Dump(const Package& package) {
  std::string out;
  for (const auto& section : package.sections()) {
    out += section.type + "|" + section.name + "|" + (section.anonymous ? "anon" : "named") + "\n";
    for (const auto& option : section.options) {
      out += " " + option.name + (option.is_list ? "[]" : "") + "=";
      if (option.is_list) {
        for (const auto& item : option.items) out += "<" + item + ">";
      } else {
        out += "<" + option.value + ">";
      }
      out += "\n";
    }
  }
  return out;
}

const char kTavrin[] =
    "# gateway settings\n"
    "config sys 'sys'\n"
    "\tlist whitelist '0123456789AB'\n"
    "\tlist whitelist \"0123456789AC\"\n"
    "\toption server 'http://127.0.0.1:8080'   # cloud\n"
    "\n"
    "config auth 'auth'\n"
    "\toption token \"a\\\"b\\\\c\\$\"\n"
    "\n"
    "config mqtt mqtt\n"
    "\toption enable 1\n"
    "\n"
    "config node\n"
    "\toption obj_path '/org/bluez/hci0/dev_C0_FF_EE_00_00_01'\n"
    "\toption device_id '0123456789AB'\n"
    "\toption time '1700000000'\n";

TEST(UciSyntax, ReadsQuotingEscapesListsAndComments) {
  Package package = Parse(kTavrin);
  ASSERT_EQ(package.sections().size(), 4u);

  const Option& whitelist = OptionOf(package, "sys", "whitelist");
  EXPECT_TRUE(whitelist.is_list);
  EXPECT_EQ(whitelist.items, (std::vector<std::string>{"0123456789AB", "0123456789AC"}));
  EXPECT_EQ(OptionOf(package, "sys", "server").value, "http://127.0.0.1:8080");
  // In double quotes a backslash takes the next character literally.
  EXPECT_EQ(OptionOf(package, "auth", "token").value, "a\"b\\c$");
  EXPECT_EQ(OptionOf(package, "mqtt", "enable").value, "1");

  const Section& node = package.sections().back();
  EXPECT_TRUE(node.anonymous);
  EXPECT_EQ(node.type, "node");
  EXPECT_EQ(node.name, "cfg0446ab");
  ASSERT_EQ(node.options.size(), 3u);
  EXPECT_EQ(node.options[0].name, "obj_path");
  EXPECT_EQ(node.options[2].value, "1700000000");
}

TEST(UciSyntax, WordsJoinAcrossQuotesLinesAndSemicolons) {
  Package package = Parse(
      "config t 'a'\n"
      "\toption joined ab'c d'\"e\"\n"
      "\toption multi 'line one\n"
      "line two'\n"
      "\toption cont one\\\n"
      "two\n"
      "\toption hash 'x#y' # comment\n"
      "\toption bare x#y\n"
      "\toption single 'back\\slash'\n"
      "\toption empty ''\n"
      "\toption first 1 ; option second 2\n"
      "\toption glued 1; option lost 2\n"
      "\tlist l ''\n"
      "c t b\n"
      "o short 's'\n");
  EXPECT_EQ(OptionOf(package, "a", "joined").value, "abc de");
  EXPECT_EQ(OptionOf(package, "a", "multi").value, "line one\nline two");
  EXPECT_EQ(OptionOf(package, "a", "cont").value, "onetwo");
  EXPECT_EQ(OptionOf(package, "a", "hash").value, "x#y");
  EXPECT_EQ(OptionOf(package, "a", "bare").value, "x");
  EXPECT_EQ(OptionOf(package, "a", "single").value, "back\\slash");
  EXPECT_EQ(OptionOf(package, "a", "first").value, "1");
  EXPECT_EQ(OptionOf(package, "a", "second").value, "2");
  EXPECT_EQ(OptionOf(package, "a", "glued").value, "1");
  EXPECT_EQ(OptionOf(package, "a", "l").items, std::vector<std::string>{""});
  EXPECT_EQ(OptionOf(package, "b", "short").value, "s");

  // As on the router: an empty option value sets nothing, and a command
  // glued to a ';' ends the line.
  EXPECT_EQ(package.FindSection("a")->FindOption("empty"), nullptr);
  EXPECT_EQ(package.FindSection("a")->FindOption("lost"), nullptr);
}

TEST(UciSyntax, RepeatedNamesMergeAndConvert) {
  Package package = Parse(
      "config t 's'\n"
      "\toption o 'one'\n"
      "\tlist o 'two'\n"
      "\toption p 'x'\n"
      "config t 's'\n"
      "\toption p 'y'\n"
      "\tlist q 'a'\n"
      "\toption q 'b'\n");
  ASSERT_EQ(package.sections().size(), 1u);
  EXPECT_EQ(OptionOf(package, "s", "o").items, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(OptionOf(package, "s", "p").value, "y");
  EXPECT_FALSE(OptionOf(package, "s", "q").is_list);
  EXPECT_EQ(OptionOf(package, "s", "q").value, "b");
}

TEST(UciSyntax, ErrorsCarryReasonAndLine) {
  // Reasons, lines and bytes as the router's uci tool reports them.
  struct Case {
    const char* text;
    const char* reason;
    int line;
    size_t byte;
  } cases[] = {
      {"config t 'a'\n\tbogus x\n", "invalid command", 2, 1},
      {"\toption o 'v'\n", "option/list command found before the first section", 1, 1},
      {"config t 'a'\n\toption o 'v\n", "EOF with unterminated '", 2, 13},
      {"config t 'a'\n\toption o \"v\n", "EOF with unterminated \"", 2, 13},
      {"config t 'a b'\n", "invalid character in name field", 1, 15},
      {"config t 'a'\n\toption bad.name 'v'\n", "invalid character in name field", 2, 17},
      {"config t 'a'\n\toption o 'v' extra\n", "too many arguments", 2, 20},
      {"config t 'a'\nconfig u 'a'\n", "section of different type overwrites prior section with same name", 2, 13},
      {"config 't\x01'\n", "invalid character in type field", 1, 12},
      {"config\n", "invalid command", 1, 0},
  };
  for (const auto& c : cases) {
    const ParseError error = ParseFailure(c.text);
    EXPECT_EQ(error.reason, c.reason) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_EQ(error.byte, c.byte) << c.text;
  }
  EXPECT_EQ(ParseFailure("config t 'a'\n\tbogus x\n").Describe(), "parse error (invalid command) at line 2, byte 1");
  EXPECT_EQ(ParseFailure(std::string("config t 'a'\n\x00", 14)).reason, "NUL byte in file");
}

TEST(UciExport, WritesTheRouterLayout) {
  Package package = Parse(kTavrin);
  EXPECT_EQ(ExportConfig(package),
            "\n"
            "config sys 'sys'\n"
            "\tlist whitelist '0123456789AB'\n"
            "\tlist whitelist '0123456789AC'\n"
            "\toption server 'http://127.0.0.1:8080'\n"
            "\n"
            "config auth 'auth'\n"
            "\toption token 'a\"b\\c$'\n"
            "\n"
            "config mqtt 'mqtt'\n"
            "\toption enable '1'\n"
            "\n"
            "config node\n"
            "\toption obj_path '/org/bluez/hci0/dev_C0_FF_EE_00_00_01'\n"
            "\toption device_id '0123456789AB'\n"
            "\toption time '1700000000'\n"
            "\n");
}

TEST(UciExport, RoundTripKeepsEveryValue) {
  Package original("tavrin");
  original.set_recording(false);
  Section& named = *original.SetSection("odd", "t.y-pe");
  original.SetOption(named, "quote", "it's \"quoted\"");
  original.SetOption(named, "slash", "a\\b\\'c\\");
  original.SetOption(named, "lines", "one\ntwo\r\n\tthree");
  original.SetOption(named, "marks", "# ; $x `y` @node[-1]");
  original.SetOption(named, "utf8", "K\xc3\xa4lte \xe2\x84\x83");
  original.AddListItem(named, "list", "a b");
  original.AddListItem(named, "list", "'");
  original.AddListItem(named, "list", "");
  Section& anonymous = original.AddSection("node");
  original.SetOption(anonymous, "time", "1700000000");
  original.SetSection("weird", "a#b;c'd");

  const std::string text = ExportConfig(original);
  Package reread = Parse(text);
  EXPECT_EQ(Dump(reread), Dump(original));
  EXPECT_EQ(ExportConfig(reread), text);
}

TEST(UciNaming, AnonymousSectionsAreNamedAsLibuciNamesThem) {
  // Counter of sections in the package (hex, two digits at least) and the
  // low 16 bits of the hash of the type; options are not yet there when a
  // section is named.
  Package package = Parse(kTavrin);
  EXPECT_EQ(package.AddSection("node").name, "cfg0546ab");
  Section probe;
  probe.type = "node";
  EXPECT_EQ(AnonymousName(0x10, probe), "cfg1046ab");
  EXPECT_EQ(AnonymousName(0x123, probe), "cfg12346ab");
  probe.type = "interface";
  EXPECT_EQ(AnonymousName(1, probe), "cfg016d96");

  // Bytes above 0x7f enter the hash sign-extended, as on the router.
  probe.type = "\xc3\xa4";
  EXPECT_EQ(AnonymousName(1, probe), "cfg01620c");

  // The counter never goes back: deleting sections does not reuse names.
  Package growing("p");
  Section& first = growing.AddSection("node");
  EXPECT_EQ(first.name, "cfg0146ab");
  growing.DeleteSection(first);
  EXPECT_EQ(growing.AddSection("node").name, "cfg0246ab");
}

TEST(UciNaming, ExtendedReferences) {
  Package package = Parse(kTavrin + std::string("config node 'named'\nconfig node\n"));
  Section* found = nullptr;
  ASSERT_EQ(package.FindExtended("@node[-1]", &found), Lookup::found);
  EXPECT_EQ(found->name, "cfg0646ab");
  ASSERT_EQ(package.FindExtended("@node[0]", &found), Lookup::found);
  EXPECT_EQ(found->name, "cfg0446ab");
  ASSERT_EQ(package.FindExtended("@node[-2]", &found), Lookup::found);
  EXPECT_EQ(found->name, "named");
  ASSERT_EQ(package.FindExtended("@[1]", &found), Lookup::found);
  EXPECT_EQ(found->name, "auth");
  EXPECT_EQ(package.FindExtended("@node[3]", &found), Lookup::missing);
  EXPECT_EQ(package.FindExtended("@node[-4]", &found), Lookup::missing);
  EXPECT_EQ(package.FindExtended("@nope[0]", &found), Lookup::missing);
  EXPECT_EQ(package.FindExtended("@node[x]", &found), Lookup::invalid);
  EXPECT_EQ(package.FindExtended("@node[0]x", &found), Lookup::invalid);
  EXPECT_EQ(package.FindExtended("node[0]", &found), Lookup::invalid);
}

TEST(UciStaging, LinesFormatAndReplay) {
  Package package = Parse(kTavrin);
  package.set_recording(true);
  Section& node = package.AddSection("node");
  package.SetOption(node, "obj_path", "/it's");
  package.AddListItem(*package.FindSection("sys"), "whitelist", "0123456789AD");
  package.DeleteOption(*package.FindSection("auth"), "token");
  package.DeleteSection(*package.FindSection("mqtt"));
  package.RenameSection(*package.FindSection("cfg0446ab"), "first");

  std::string text;
  for (const auto& delta : package.pending()) text += FormatDelta("tavrin", delta);
  EXPECT_EQ(text,
            "+tavrin.cfg0546ab='node'\n"
            "tavrin.cfg0546ab.obj_path='/it'\\''s'\n"
            "|tavrin.sys.whitelist='0123456789AD'\n"
            "-tavrin.auth.token\n"
            "-tavrin.mqtt\n"
            "@tavrin.cfg0446ab='first'\n");

  // Replaying the lines on the file gives the same package; lines that do
  // not parse or belong to another package are skipped.
  int skipped = 0;
  const auto lines = ParseDeltaText("garbage here\n" + text + "tavrin.a b\n-other.sys\n", &skipped);
  EXPECT_EQ(skipped, 2);
  Package replayed = Parse(kTavrin);
  for (const auto& line : lines) {
    if (line.package == "tavrin") {
      EXPECT_TRUE(ApplyDelta(replayed, line.delta));
    }
  }
  EXPECT_EQ(Dump(replayed), Dump(package));
  EXPECT_TRUE(replayed.FindSection("cfg0546ab")->anonymous);
  EXPECT_FALSE(replayed.FindSection("first")->anonymous);

  // A change whose section is gone does not apply.
  Delta orphan{Command::change, "gone", std::string("o"), std::string("v")};
  EXPECT_FALSE(ApplyDelta(replayed, orphan));
}

TEST(UciStaging, ReorderMovesSections) {
  Package package = Parse("config a 'a'\nconfig b 'b'\nconfig c 'c'\nconfig d 'd'\n");
  package.set_recording(true);
  package.ReorderSection(*package.FindSection("d"), 1);
  package.ReorderSection(*package.FindSection("a"), 9);
  package.ReorderSection(*package.FindSection("b"), 1);  // already there: no change line
  std::string order;
  for (const auto& section : package.sections()) order += section.name;
  EXPECT_EQ(order, "dbca");
  ASSERT_EQ(package.pending().size(), 2u);
  EXPECT_EQ(FormatDelta("p", package.pending()[1]), "^p.a='9'\n");
}

}  // namespace
}  // namespace ucihost
