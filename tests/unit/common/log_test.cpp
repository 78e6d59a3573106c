#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace fs = std::filesystem;

namespace {

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvora-log-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "ble.log").string();
  }
  void TearDown() override {
    logging::Shutdown();
    fs::remove_all(dir_);
  }

  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  fs::path dir_;
  std::string path_;
};

struct Widget {
  void Act() { LOG_INFO << "act"; }
  ~Widget() { LOG_INFO << "gone"; }
};

template <typename T>
std::vector<int> Templated(T) {
  LOG_INFO << "templated";
  return {};
}

TEST_F(LogFile, LineLayoutForEverySeverity) {
  logging::InitFileLogger(path_, logging::Severity::verbose);
  LOG_FATAL << "f";
  LOG_ERROR << "e " << 42 << ' ' << true;
  LOG_WARN << "w";
  LOG_INFO << "i";
  LOG_DEBUG << "d";
  LOG_VERB << "";
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 6u);
  const std::string tid = std::to_string(syscall(SYS_gettid));
  const std::regex layout(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (FATAL|ERROR|WARN |INFO |DEBUG|VERB ) \[)" + tid +
                          R"(\] \[\{anonymous\}::LogFile_LineLayoutForEverySeverity_Test::TestBody@\d+\] (.*)$)");
  const char* severities[] = {"FATAL", "ERROR", "WARN ", "INFO ", "DEBUG", "VERB "};
  const char* messages[] = {"f", "e 42 1", "w", "i", "d", ""};
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, layout)) << lines[i];
    EXPECT_EQ(m[1], severities[i]);
    EXPECT_EQ(m[2], messages[i]);
  }
  // An empty message keeps the blank after the location.
  EXPECT_EQ(lines[5].back(), ' ');
}

TEST_F(LogFile, FunctionNamesAreQualifiedAndCut) {
  logging::InitFileLogger(path_, logging::Severity::verbose);
  {
    Widget w;
    w.Act();
  }
  Templated(1);
  [] { LOG_INFO << "lambda"; }();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("[{anonymous}::Widget::Act@"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("[{anonymous}::Widget::~Widget@"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("[{anonymous}::Templated@"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("[{anonymous}::LogFile_FunctionNamesAreQualifiedAndCut_Test::TestBody@"), std::string::npos)
      << lines[3];

  EXPECT_EQ(logging::ShortFunctionName("void BluetoothLE::MessageThread()"), "BluetoothLE::MessageThread");
  EXPECT_EQ(logging::ShortFunctionName("ns::Widget::~Widget()"), "ns::Widget::~Widget");
  EXPECT_EQ(logging::ShortFunctionName("std::map<int, std::basic_string<char> > a::F(int)"), "a::F");
  EXPECT_EQ(logging::ShortFunctionName("int main()"), "main");
  EXPECT_EQ(logging::ShortFunctionName("void (anonymous namespace)::Widget::Act()"), "{anonymous}::Widget::Act");
}

TEST_F(LogFile, InfoLevelDropsDebugAndVerbose) {
  logging::InitFileLogger(path_, logging::Severity::info);
  LOG_VERB << "verbose";
  LOG_DEBUG << "debug";
  LOG_INFO << "info";
  LOG_ERROR << "error";
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" INFO  "), std::string::npos);
  EXPECT_NE(lines[1].find(" ERROR "), std::string::npos);
}

TEST_F(LogFile, AppendsToAnExistingLogAndWritesUnbuffered) {
  { std::ofstream(path_) << "earlier line\n"; }
  logging::InitFileLogger(path_, logging::Severity::verbose);
  LOG_INFO << "now";
  // No flush or shutdown: the record is in the file when the call returns.
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier line");
  EXPECT_NE(lines[1].find("] now"), std::string::npos);
}

TEST_F(LogFile, RollsPastTwoMebibytesKeepingFiveFiles) {
  logging::InitFileLogger(path_, logging::Severity::verbose);
  const std::string payload(1000, 'x');
  // About 12 MiB in all: enough to roll more than five times.
  for (int i = 0; i < 12000; ++i) LOG_INFO << i << ' ' << payload;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ble.1.log", "ble.2.log", "ble.3.log", "ble.4.log", "ble.log"}));
  for (const auto& name : names) {
    // A file rolls once it is already larger than 2 MiB, so it passes the
    // limit by at most one record.
    EXPECT_LE(fs::file_size(dir_ / name), 2097152u + 1200u) << name;
  }
  EXPECT_GT(fs::file_size(dir_ / "ble.1.log"), 2097152u);
  // The newest record is in the live file, the one before the roll in ble.1.log.
  const auto live = Lines();
  ASSERT_FALSE(live.empty());
  EXPECT_NE(live.back().find("] 11999 x"), std::string::npos);
  std::ifstream rolled(dir_ / "ble.1.log");
  std::string first_live_number = live.front().substr(live.front().find("] ", live.front().find('@')) + 2);
  first_live_number = first_live_number.substr(0, first_live_number.find(' '));
  std::string last_rolled, line;
  while (std::getline(rolled, line)) last_rolled = line;
  EXPECT_NE(last_rolled.find("] " + std::to_string(std::stoi(first_live_number) - 1) + " x"), std::string::npos);
}

// A record never spans lines, whatever its message holds: control
// characters and bytes that are not UTF-8 are escaped, text stays as it is.
TEST_F(LogFile, MessagesStayOnTheirRecordsLine) {
  using namespace std::string_literals;
  const struct {
    std::string message;
    std::string written;
  } cases[] = {
      {"Connected to a\n2026-01-01 00:00:00.000 INFO  [1] [x@1] forged",
       "Connected to a\\n2026-01-01 00:00:00.000 INFO  [1] [x@1] forged"},
      {"cr\rtab\tend", "cr\\rtab\\tend"},
      {"\x1b[31mred\x1b[0m \x1b" "c", "\\x1b[31mred\\x1b[0m \\x1b" "c"},
      {"nul\0del\x7f" "bel\a"s, "nul\\x00del\\x7f" "bel\\x07"},
      {"c1 \xc2\x9b" "2J", "c1 \\u009b" "2J"},
      {"bad \xff \xc0\xaf \xed\xa0\x80 cut \xe2\x82",
       "bad \\xff \\xc0\\xaf \\xed\\xa0\\x80 cut \\xe2\\x82"},
      {"K\xc3\xa4lte \xe2\x82\xac \xea\xb2\x80\xed\x86\xa0 \xf0\x9f\x98\x80 nbsp\xc2\xa0",
       "K\xc3\xa4lte \xe2\x82\xac \xea\xb2\x80\xed\x86\xa0 \xf0\x9f\x98\x80 nbsp\xc2\xa0"},
      {"it's \"<script>\" a\\nb {\"k\":\"v\\u001b\"}", "it's \"<script>\" a\\nb {\"k\":\"v\\u001b\"}"},
  };
  logging::InitFileLogger(path_, logging::Severity::verbose);
  for (const auto& c : cases) LOG_INFO << c.message;
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t at = lines[i].find("@", 24);
    ASSERT_NE(at, std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].substr(lines[i].find("] ", at) + 2), cases[i].written) << i;
  }
}

// The two records that end or span lines on purpose: the installed version
// as opkg prints it ends in a line feed, which stays (an empty line follows);
// the crash trace keeps one frame a line, and is escaped otherwise.
TEST_F(LogFile, OnlyAFinalLineFeedAndTheTracesLinesStay) {
  logging::InitFileLogger(path_, logging::Severity::verbose);
  LOG_INFO << "MQTT App Start : 1.4.2-1\n";
  LOG_INFO << "two\n\n";
  logging::WriteLines(logging::Severity::error, "void F()", 7, " 0# F() in /x\n 1# \x1b]0;t\a in /y\n");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_NE(lines[0].find(" INFO  ["), std::string::npos);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 26), "] MQTT App Start : 1.4.2-1");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 7), "] two\\n");
  EXPECT_EQ(lines[3], "");
  EXPECT_NE(lines[4].find(" ERROR ["), std::string::npos);
  EXPECT_EQ(lines[4].substr(lines[4].find("[F@7] ")), "[F@7]  0# F() in /x");
  EXPECT_EQ(lines[5], " 1# \\x1b]0;t\\x07 in /y");
  EXPECT_EQ(lines[6], "");
}

TEST_F(LogFile, NothingIsWrittenWithoutLogger) {
  LOG_ERROR << "nowhere";
  EXPECT_FALSE(fs::exists(path_));
}

}  // namespace
