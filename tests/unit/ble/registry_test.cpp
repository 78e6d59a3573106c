#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bus_helpers.h"
#include "log_capture.h"
#include "registry/registry.h"

namespace {

using nlohmann::json;
using bletest::ReadLines;
using bletest::TempDir;

constexpr const char* kPath1 = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";
constexpr const char* kPath2 = "/org/bluez/hci0/dev_C0_FF_EE_00_00_02";

// Waits until no "uci" object is left on the bus from an earlier test.
void WaitUciGone() {
  ASSERT_TRUE(bletest::WaitUntil([] { return !bletest::ObjectOnBus("uci"); }));
}

// The platform's "uci" service over a config directory holding `tavrin`.
class UciService {
 public:
  explicit UciService(const std::string& tavrin) {
    WaitUciGone();
    std::ofstream(config_.path() / "tavrin") << tavrin;
    std::filesystem::create_directories(delta_.path());
    process_ = std::make_unique<testsupport::Process>(std::vector<std::string>{
        KELVORA_UCI_SERVICE, "-c", config_.path().string(), "-d", delta_.path().string()});
    EXPECT_TRUE(bletest::WaitUntil([] { return bletest::ObjectOnBus("uci"); }));
  }
  ~UciService() {
    process_.reset();
    WaitUciGone();
  }

  std::string Tavrin() const {
    std::ifstream in(config_.path() / "tavrin");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  TempDir config_;
  TempDir delta_;
  std::unique_ptr<testsupport::Process> process_;
};

// A stand-in "uci" object that records each request and answers every get
// with `get_reply`.
class UciRecorder {
 public:
  explicit UciRecorder(const std::string& get_reply) : log_(dir_.path() / "calls") {
    WaitUciGone();
    process_ = std::make_unique<testsupport::Process>(
        std::vector<std::string>{KELVORA_UCI_RECORDER, log_.string(), get_reply});
    EXPECT_TRUE(testsupport::WaitForPath(log_.string(), std::chrono::seconds(10)));
  }
  ~UciRecorder() {
    process_.reset();
    WaitUciGone();
  }

  // "method request" per call, in order.
  std::vector<std::string> Calls() const { return ReadLines(log_); }

 private:
  TempDir dir_;
  std::filesystem::path log_;
  std::unique_ptr<testsupport::Process> process_;
};

const char* kSys =
    "config sys 'sys'\n"
    "\tlist whitelist '0123456789AB'\n"
    "\tlist whitelist '0123456789AC'\n"
    "\toption server 'http://127.0.0.1:8080'\n";

TEST(Whitelist, ListOptionAndMissingOption) {
  testsupport::LogCapture log;
  {
    UciService uci(kSys);
    LoadWhiteList();
  }
  EXPECT_TRUE(IsWhitelisted("0123456789AB"));
  EXPECT_TRUE(IsWhitelisted("0123456789AC"));
  EXPECT_FALSE(IsWhitelisted("0123456789ab")) << "case matters";
  EXPECT_FALSE(IsWhitelisted("0123456789A"));
  EXPECT_FALSE(IsWhitelisted(""));
  EXPECT_TRUE(log.Messages("ERROR").empty());

  {
    // A single option rather than a list: a whitelist of one.
    UciService uci("config sys 'sys'\n\toption whitelist '0123456789AD'\n");
    LoadWhiteList();
  }
  EXPECT_TRUE(IsWhitelisted("0123456789AD"));
  EXPECT_FALSE(IsWhitelisted("0123456789AB"));
  EXPECT_TRUE(log.Messages("ERROR").empty());

  {
    // No whitelist: the key-not-found text, the whitelist as it was.
    UciService uci("config sys 'sys'\n\toption server 'http://127.0.0.1:8080'\n");
    LoadWhiteList();
  }
  EXPECT_TRUE(IsWhitelisted("0123456789AD"));
  EXPECT_EQ(log.Messages("ERROR"),
            (std::vector<std::string>{"[json.exception.out_of_range.403] key 'whitelist' not found"}));
}

TEST(Whitelist, NoSysSectionOrNoServiceLeavesItAsItWas) {
  testsupport::LogCapture log;
  {
    UciService uci("config sys 'sys'\n\tlist whitelist '0123456789AB'\n");
    LoadWhiteList();
  }
  ASSERT_TRUE(IsWhitelisted("0123456789AB"));
  {
    UciService uci("config mqtt 'mqtt'\n\toption enable '1'\n");
    LoadWhiteList();
  }
  LoadWhiteList();  // no "uci" object at all
  EXPECT_TRUE(IsWhitelisted("0123456789AB"));
  EXPECT_EQ(log.Messages("ERROR"), (std::vector<std::string>{
      "[json.exception.out_of_range.403] key 'whitelist' not found",
      "lookup_id",
      "[json.exception.out_of_range.403] key 'whitelist' not found",
  }));
}

TEST(KnownNodes, LoadedInSectionNameOrderWithTheirBlocks) {
  testsupport::LogCapture log;
  {
    UciService uci(std::string(kSys) +
                   "config node 'cfg02a1b2'\n"
                   "\toption obj_path '/org/bluez/hci0/dev_02'\n"
                   "\toption device_id '0123456789AC'\n"
                   "\toption time '1700000001'\n"
                   "config node 'cfg01c3d4'\n"
                   "\toption obj_path '/org/bluez/hci0/dev_01'\n"
                   "\toption device_id '0123456789AB'\n"
                   "config node 'cfg03e5f6'\n"
                   "\toption device_id '0123456789AD'\n"
                   "config node 'cfg00aaaa'\n"
                   "\tlist obj_path '/org/bluez/hci0/dev_00'\n"
                   "\toption device_id '0123456789AE'\n");
    LoadNode();
  }
  EXPECT_TRUE(IsWhitelisted("0123456789AC")) << "the whitelist is loaded first";
  EXPECT_EQ(GetKnownNodes(),
            (std::vector<std::string>{"/org/bluez/hci0/dev_01", "/org/bluez/hci0/dev_02", ""}));

  const std::vector<std::string> block_01 = {
      "================================", "Node Info", "--------------------------------",
      "DEVICE ID : 0123456789AB",         "OBJ PATH  : /org/bluez/hci0/dev_01",
      "================================"};
  const std::vector<std::string> block_02 = {
      "================================", "Node Info", "--------------------------------",
      "DEVICE ID : 0123456789AC",         "OBJ PATH  : /org/bluez/hci0/dev_02",
      "================================"};
  const std::vector<std::string> block_03 = {
      "================================", "Node Info", "--------------------------------",
      "DEVICE ID : 0123456789AD",         "OBJ PATH  : ",
      "================================"};
  std::vector<std::string> expected = block_01;
  expected.insert(expected.end(), block_02.begin(), block_02.end());
  expected.insert(expected.end(), block_03.begin(), block_03.end());
  EXPECT_EQ(log.Messages("VERB "), expected);

  // The section whose obj_path is a list is skipped with a record.
  const auto errors = log.Messages("ERROR");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Skip node section cfg00aaaa : ", 0), 0u) << errors[0];
}

TEST(KnownNodes, EmptyWithoutNodeSectionsOrService) {
  testsupport::LogCapture log;
  {
    UciService uci(kSys);
    LoadNode();
  }
  EXPECT_TRUE(GetKnownNodes().empty());
  LoadNode();
  EXPECT_TRUE(GetKnownNodes().empty());
  EXPECT_TRUE(IsWhitelisted("0123456789AB"));
}

TEST(NodeRecord, AddHasAndDeleteAgainstTheService) {
  testsupport::LogCapture log;
  UciService uci(kSys);

  EXPECT_FALSE(NVRAMHasNode(kPath1));
  const auto before = time(nullptr);
  NVRAMAddNode(kPath1, "0123456789AB");
  const auto after = time(nullptr);
  EXPECT_TRUE(NVRAMHasNode(kPath1));
  EXPECT_FALSE(NVRAMHasNode(kPath2));

  const json nodes = UCIGet("tavrin", "node", json::object());
  ASSERT_EQ(nodes.size(), 1u) << nodes.dump();
  const json& node = nodes.begin().value();
  EXPECT_EQ(node.at("obj_path"), kPath1);
  EXPECT_EQ(node.at("device_id"), "0123456789AB");
  const long recorded = std::stol(node.at("time").get<std::string>());
  EXPECT_GE(recorded, before);
  EXPECT_LE(recorded, after);

  // Committed: the file holds the section.
  const std::string file = uci.Tavrin();
  EXPECT_NE(file.find(std::string("option obj_path '") + kPath1 + "'"), std::string::npos) << file;
  EXPECT_NE(file.find("option device_id '0123456789AB'"), std::string::npos) << file;

  // A known path adds nothing.
  NVRAMAddNode(kPath1, "0123456789AB");
  NVRAMAddNode(kPath2, "0123456789AC");
  EXPECT_EQ(UCIGet("tavrin", "node", json::object()).size(), 2u);

  NVRAMDeleteNode(kPath1);
  EXPECT_FALSE(NVRAMHasNode(kPath1));
  EXPECT_TRUE(NVRAMHasNode(kPath2));
  EXPECT_EQ(uci.Tavrin().find(kPath1), std::string::npos);
  EXPECT_TRUE(log.Messages("ERROR").empty());
}

TEST(NodeRecord, NewPathSendsGetAddSetCommit) {
  testsupport::LogCapture log;
  UciRecorder uci(R"({"values":{}})");
  const auto before = time(nullptr);
  NVRAMAddNode(kPath1, "0123456789AB");
  const auto after = time(nullptr);

  const auto calls = uci.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], std::string(R"(get {"config":"tavrin","match":{"obj_path":")") + kPath1 +
                          R"("},"type":"node"})");
  EXPECT_EQ(calls[1], R"(add {"config":"tavrin","type":"node","values":null})");
  const std::string set_head = std::string(R"(set {"config":"tavrin","section":"@node[-1]","values":)");
  ASSERT_EQ(calls[2].rfind(set_head, 0), 0u) << calls[2];
  const json set = json::parse(calls[2].substr(set_head.size(), calls[2].size() - set_head.size() - 1));
  EXPECT_EQ(set.at("device_id"), "0123456789AB");
  EXPECT_EQ(set.at("obj_path"), kPath1);
  ASSERT_TRUE(set.at("time").is_number_integer());
  EXPECT_GE(set.at("time").get<long>(), before);
  EXPECT_LE(set.at("time").get<long>(), after);
  EXPECT_EQ(calls[3], R"(commit {"config":"tavrin"})");

  EXPECT_EQ(log.Messages("VERB "), (std::vector<std::string>{""}));
}

TEST(NodeRecord, KnownPathSendsOnlyTheLookup) {
  testsupport::LogCapture log;
  UciRecorder uci(std::string(R"({"values":{"cfg0146ab":{"obj_path":")") + kPath1 + R"("}}})");
  NVRAMAddNode(kPath1, "0123456789AB");
  EXPECT_EQ(uci.Calls(), (std::vector<std::string>{std::string(R"(get {"config":"tavrin","match":{"obj_path":")") +
                                                   kPath1 + R"("},"type":"node"})"}));
  EXPECT_TRUE(log.Records().empty());
}

TEST(NodeRecord, DeleteSendsDeleteAndCommit) {
  UciRecorder uci("");
  NVRAMDeleteNode(kPath2);
  EXPECT_EQ(uci.Calls(), (std::vector<std::string>{
      std::string(R"(delete {"config":"tavrin","match":{"obj_path":")") + kPath2 + R"("},"type":"node"})",
      R"(commit {"config":"tavrin"})"}));
}

TEST(NodeRecord, WithoutServiceNothingIsOverwritten) {
  testsupport::LogCapture log;
  NVRAMAddNode(kPath1, "0123456789AB");
  // Lookup, add and commit fail; without an added section there is no set.
  EXPECT_EQ(log.Messages("ERROR"), (std::vector<std::string>{"lookup_id", "lookup_id", "lookup_id"}));
}

TEST(UciGet, RequestsAndRepliesWithoutValues) {
  testsupport::LogCapture log;
  UciRecorder uci(R"({"other":{"a":"1"}})");
  EXPECT_EQ(UCIGet("tavrin", "sys"), json::object());
  EXPECT_EQ(UCIGet("tavrin", "node", json::object()), json::object());
  LoadWhiteList();
  EXPECT_EQ(uci.Calls(), (std::vector<std::string>{
      R"(get {"config":"tavrin","section":"sys"})",
      R"(get {"config":"tavrin","type":"node"})",
      R"(get {"config":"tavrin","section":"sys"})",
  }));
  EXPECT_EQ(log.Messages("ERROR"),
            (std::vector<std::string>{"[json.exception.out_of_range.403] key 'whitelist' not found"}));
}

}  // namespace
