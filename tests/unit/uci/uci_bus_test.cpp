// The uci service on a private bus, called through the ubus wrapper and the
// shared request helpers.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The JSON library before the platform headers: the router's libubox
// defines a "fallthrough" macro that breaks its attribute checks.
#include "uci/uci.h"

#include "ipc/ubus.h"
#include "log/log.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kNodePath = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";
constexpr const char* kNodePath2 = "/org/bluez/hci0/dev_C0_FF_EE_00_00_02";

const char kTavrin[] =
    "config sys 'sys'\n"
    "\tlist whitelist '0123456789AB'\n"
    "\tlist whitelist '0123456789AC'\n"
    "\toption server 'http://127.0.0.1:8080'\n"
    "\n"
    "config auth 'auth'\n"
    "\toption token 'secret'\n"
    "\n"
    "config mqtt 'mqtt'\n"
    "\toption enable '1'\n"
    "\n"
    "config node\n"
    "\toption obj_path '/org/bluez/hci0/dev_C0_FF_EE_00_00_01'\n"
    "\toption device_id '0123456789AB'\n"
    "\toption time '1700000000'\n";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool UciOnBus() {
  ubus_context* ctx = ubus_connect(nullptr);
  if (!ctx) return false;
  uint32_t id = 0;
  const bool found = ubus_lookup_id(ctx, "uci", &id) == 0;
  ubus_free(ctx);
  return found;
}

template <typename Predicate>
bool WaitUntil(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Error records written while the object lives.
class ErrorLog {
 public:
  ErrorLog() : path_(fs::temp_directory_path() / ("uci-bus-test-" + std::to_string(getpid()) + ".log")) {
    fs::remove(path_);
    logging::InitFileLogger(path_.string(), logging::Severity::verbose);
  }
  ~ErrorLog() {
    logging::Shutdown();
    fs::remove(path_);
  }
  // The message texts of the ERROR records.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      if (line.compare(24, 5, "ERROR") != 0) continue;
      const auto function = line.find("] [");
      const auto end = line.find("] ", function + 3);
      messages.push_back(line.substr(end + 2));
    }
    return messages;
  }

 private:
  fs::path path_;
};

// The uci service over a fresh config directory holding `tavrin`.
class UciBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uci-bus-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "config");
    std::ofstream(root_ / "config" / "tavrin") << kTavrin;
    ASSERT_TRUE(WaitUntil([] { return !UciOnBus(); }));
  }
  void TearDown() override {
    StopService();
    fs::remove_all(root_);
  }

  void StartService() {
    service_ = std::make_unique<testsupport::Process>(std::vector<std::string>{
        KELVORA_UCI_SERVICE, "-c", (root_ / "config").string(), "-d", (root_ / "delta").string()});
    ASSERT_TRUE(WaitUntil(UciOnBus));
  }
  int StopService() {
    if (!service_) return -1;
    const int status = service_->Stop(SIGTERM);
    service_.reset();
    EXPECT_TRUE(WaitUntil([] { return !UciOnBus(); }));
    return status;
  }

  // Reply texts of one call; `ok` gets the call's result.
  std::vector<std::string> Call(const char* method, const std::string& request, bool* ok = nullptr) {
    std::vector<std::string> replies;
    ipc::UBUS ubus(30);
    const bool result = ubus.Call("uci", method, request, [&replies](const char* text) {
      replies.push_back(text ? text : "(null)");
    });
    if (ok) *ok = result;
    return replies;
  }

  std::string Tavrin() const { return ReadFile(root_ / "config" / "tavrin"); }

  fs::path root_;
  std::unique_ptr<testsupport::Process> service_;
};

TEST_F(UciBusTest, RepliesOnTheBusAsTheRouterGivesThem) {
  StartService();
  ErrorLog log;
  EXPECT_EQ(Call("get", R"({"config":"tavrin","section":"sys"})"),
            std::vector<std::string>{
                R"({"values":{".anonymous":false,".type":"sys",".name":"sys",)"
                R"("whitelist":["0123456789AB","0123456789AC"],"server":"http://127.0.0.1:8080"}})"});
  EXPECT_EQ(Call("get", R"({"config":"tavrin","type":"node"})"),
            std::vector<std::string>{
                R"({"values":{"cfg0446ab":{".anonymous":true,".type":"node",".name":"cfg0446ab",".index":3,)"
                R"("obj_path":"/org/bluez/hci0/dev_C0_FF_EE_00_00_01","device_id":"0123456789AB","time":"1700000000"}}})"});
  EXPECT_EQ(Call("get", R"({"config":"tavrin","match":{"obj_path":"/nope"},"type":"node"})"),
            std::vector<std::string>{R"({"values":{}})"});
  EXPECT_EQ(Call("add", R"({"config":"tavrin","type":"node","values":null})"),
            std::vector<std::string>{R"({"section":"cfg0546ab"})"});

  // Status only: success without data, then the error statuses.
  bool ok = false;
  EXPECT_TRUE(Call("get", R"({"config":"tavrin","section":"nope"})", &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Call("commit", R"({"config":"tavrin"})", &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Call("get", R"({"config":"nope"})", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Call("get", "", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                R"(invoke Not found p:uci m:get arg:{"config":"nope"})",
                                "invoke Invalid argument p:uci m:get arg:",
                            }));

  // Stops cleanly on SIGTERM.
  const int status = StopService();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(UciBusTest, HelpersRecordAndDropANodeAsTheRegistryDoes) {
  StartService();
  // Lookup of a node not recorded yet: no sections.
  EXPECT_EQ(uci::UCIGet("tavrin", "node", json{{"obj_path", kNodePath2}}), json::object());

  EXPECT_TRUE(uci::UCIAdd("tavrin", "node"));
  EXPECT_TRUE(uci::UCISet("tavrin", "@node[-1]",
                          json{{"device_id", "0123456789AC"}, {"obj_path", kNodePath2}, {"time", 1700000001}}));
  // Staged: seen by get, not yet in the file.
  EXPECT_EQ(Tavrin(), kTavrin);
  const json staged = uci::UCIGet("tavrin", "node", json{{"obj_path", kNodePath2}});
  ASSERT_EQ(staged.size(), 1u);
  EXPECT_EQ(staged["cfg0546ab"]["time"], "1700000001");

  EXPECT_TRUE(uci::UCICommit("tavrin"));
  EXPECT_EQ(Tavrin(), std::string("\n") + kTavrin +
                          "\n"
                          "config node\n"
                          "\toption device_id '0123456789AC'\n"
                          "\toption obj_path '/org/bluez/hci0/dev_C0_FF_EE_00_00_02'\n"
                          "\toption time '1700000001'\n"
                          "\n");
  const json all = uci::UCIGet("tavrin", "node", json::object());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all.begin().key(), "cfg0446ab");

  EXPECT_TRUE(uci::UCIDelete("tavrin", "node", json{{"obj_path", kNodePath}}));
  EXPECT_TRUE(uci::UCICommit("tavrin"));
  const json left = uci::UCIGet("tavrin", "node", json::object());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left.begin().value()["obj_path"], kNodePath2);
  EXPECT_EQ(Tavrin().find(kNodePath), std::string::npos);

  // The whitelist read of the registry.
  EXPECT_EQ(uci::UCIGet("tavrin", "sys")["whitelist"], (json{"0123456789AB", "0123456789AC"}));
}

TEST_F(UciBusTest, MissingSectionLeavesTheCallersValue) {
  StartService();
  json values{{"kept", true}};
  EXPECT_TRUE(uci::UCIGetSection("tavrin", "nope", values));
  EXPECT_EQ(values, (json{{"kept", true}}));
  EXPECT_EQ(uci::UCIGet("tavrin", "nope"), json::object());
  // A missing package is an error status: the value stays too.
  EXPECT_FALSE(uci::UCIGetSection("nope", "sys", values));
  EXPECT_EQ(values, (json{{"kept", true}}));
  // By type without a match the reply's "values" is empty.
  EXPECT_TRUE(uci::UCIGetType("tavrin", "node", json{{"obj_path", "/nope"}}, values));
  EXPECT_EQ(values, json::object());
}

TEST_F(UciBusTest, WithoutUciObjectEveryCallWritesLookupId) {
  ErrorLog log;
  json values{{"kept", true}};
  EXPECT_FALSE(uci::UCIGetSection("tavrin", "sys", values));
  EXPECT_FALSE(uci::UCIGetType("tavrin", "node", json{{"obj_path", kNodePath}}, values));
  EXPECT_EQ(values, (json{{"kept", true}}));
  EXPECT_EQ(uci::UCIGet("tavrin", "sys"), json::object());
  EXPECT_FALSE(uci::UCIAdd("tavrin", "node"));
  EXPECT_FALSE(uci::UCISet("tavrin", "@node[-1]", json{{"time", 1}}));
  EXPECT_FALSE(uci::UCIDelete("tavrin", "node", json{{"obj_path", kNodePath}}));
  EXPECT_FALSE(uci::UCICommit("tavrin"));
  EXPECT_EQ(log.Messages(), std::vector<std::string>(7, "lookup_id"));
}

TEST(UciRequest, CompactInKeyOrder) {
  EXPECT_EQ(uci::Request(json{{"values", json{{"time", 1700000000}, {"obj_path", kNodePath}, {"device_id", "0123456789AB"}}},
                              {"section", "@node[-1]"},
                              {"config", "tavrin"}}),
            R"({"config":"tavrin","section":"@node[-1]","values":{"device_id":"0123456789AB",)"
            R"("obj_path":"/org/bluez/hci0/dev_C0_FF_EE_00_00_01","time":1700000000}})");
  EXPECT_EQ(uci::Request(json{{"type", "node"}, {"config", "tavrin"}, {"values", nullptr}}),
            R"({"config":"tavrin","type":"node","values":null})");
  // Non-ASCII passes unescaped; broken UTF-8 does not throw.
  EXPECT_EQ(uci::Request(json{{"v", "K\xc3\xa4lte"}}), "{\"v\":\"K\xc3\xa4lte\"}");
  EXPECT_EQ(uci::Request(json{{"v", "a\xff"}}), "{\"v\":\"a\xef\xbf\xbd\"}");
}

}  // namespace
