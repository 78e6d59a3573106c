// The "uci" methods on a config directory: replies, staging, commit, revert.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service.h"
#include "store.h"

namespace ucihost {
namespace {

namespace fs = std::filesystem;

const char kTavrin[] =
    "config sys 'sys'\n"
    "\tlist whitelist '0123456789AB'\n"
    "\tlist whitelist '0123456789AC'\n"
    "\toption server 'http://127.0.0.1:8080'\n"
    "\n"
    "config auth 'auth'\n"
    "\toption token 'secret'\n"
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

class UciServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uci-service-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directory(root_ / "config");
    store_ = std::make_unique<Store>((root_ / "config").string(), (root_ / "delta").string());
    service_ = std::make_unique<Service>(*store_, [this](const std::string& e) { errors_.push_back(e); });
    WriteConfig("tavrin", kTavrin);
  }
  void TearDown() override { fs::remove_all(root_); }

  void WriteConfig(const std::string& name, const std::string& text) {
    std::ofstream(root_ / "config" / name, std::ios::binary) << text;
  }
  std::string Config(const std::string& name = "tavrin") { return ReadFile(root_ / "config" / name); }
  std::string Staged(const std::string& name = "tavrin") { return ReadFile(root_ / "delta" / name); }

  Reply Call(const std::string& method, const std::string& request) {
    return service_->Handle(method, Json::parse(request));
  }
  // The reply data as the bus renders it (members in order, compact), or "-" for none.
  std::string Data(const std::string& method, const std::string& request, int expected_status = kOk) {
    const Reply reply = Call(method, request);
    EXPECT_EQ(reply.status, expected_status) << method << " " << request;
    return reply.data ? reply.data->dump() : "-";
  }
  int Status(const std::string& method, const std::string& request) {
    const Reply reply = Call(method, request);
    EXPECT_FALSE(reply.data) << method << " " << request << " gave " << reply.data->dump();
    return reply.status;
  }

  fs::path root_;
  std::vector<std::string> errors_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Service> service_;
};

TEST_F(UciServiceTest, GetRepliesAsRpcd) {
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"sys"})"),
            R"({"values":{".anonymous":false,".type":"sys",".name":"sys",)"
            R"("whitelist":["0123456789AB","0123456789AC"],"server":"http://127.0.0.1:8080"}})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","type":"node"})"),
            R"({"values":{"cfg0346ab":{".anonymous":true,".type":"node",".name":"cfg0346ab",".index":2,)"
            R"("obj_path":"/org/bluez/hci0/dev_C0_FF_EE_00_00_01","device_id":"0123456789AB","time":"1700000000"}}})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","match":{"obj_path":"/org/bluez/hci0/dev_C0_FF_EE_00_00_01"},"type":"node"})"),
            Data("get", R"({"config":"tavrin","type":"node"})"));
  EXPECT_EQ(Data("get", R"({"config":"tavrin","match":{"obj_path":"/nope"},"type":"node"})"), R"({"values":{}})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","type":"nope"})"), R"({"values":{}})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"sys","option":"server"})"),
            R"({"value":"http://127.0.0.1:8080"})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"sys","option":"whitelist"})"),
            R"({"value":["0123456789AB","0123456789AC"]})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"@node[-1]","option":"time"})"), R"({"value":"1700000000"})");

  // The whole package, every section with its position.
  const Json all = Json::parse(Data("get", R"({"config":"tavrin"})"))["values"];
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all["auth"][".index"], 1);

  // Missing pieces: no data with success; missing package 4; no config 2.
  EXPECT_EQ(Status("get", R"({"config":"tavrin","section":"mqtt"})"), kOk);
  EXPECT_EQ(Status("get", R"({"config":"tavrin","section":"sys","option":"nope"})"), kOk);
  EXPECT_EQ(Status("get", R"({"config":"tavrin","section":"@node[5]"})"), kOk);
  EXPECT_EQ(Status("get", R"({"config":"nope","section":"sys"})"), kNotFound);
  EXPECT_EQ(Status("get", R"({})"), kInvalidArgument);
  EXPECT_EQ(Status("get", R"({"config":5})"), kInvalidArgument);
  // A name that would leave the config directory is refused.
  EXPECT_EQ(Status("get", R"({"config":"../config/tavrin"})"), kInvalidArgument);
  EXPECT_EQ(Status("get", R"({"config":"/etc/passwd"})"), kInvalidArgument);
}

TEST_F(UciServiceTest, MatchFollowsRpcdRules) {
  WriteConfig("m",
              "config node 'a'\n\toption obj_path '/p /q'\n\toption id 'x'\n"
              "config node 'b'\n\tlist obj_path '/r'\n\tlist obj_path '/s'\n"
              "config node 'c'\n\toption id '7'\n\toption on '1'\n");
  auto names = [this](const std::string& match) {
    const Json values = Json::parse(Data("get", R"({"config":"m","type":"node","match":)" + match + "}"))["values"];
    std::string out;
    for (const auto& [name, section] : values.items()) out += name;
    return out;
  };
  EXPECT_EQ(names(R"({"obj_path":"/q"})"), "a");          // a word of a string option
  EXPECT_EQ(names(R"({"obj_path":"/s"})"), "b");          // an item of a list
  EXPECT_EQ(names(R"({"obj_path":"/p /q"})"), "");        // the whole text is not a word
  EXPECT_EQ(names(R"({"id":7,"on":true})"), "c");         // numbers and booleans as text
  EXPECT_EQ(names(R"({"id":"x","other":"y"})"), "a");     // absent options do not spoil a match
  EXPECT_EQ(names(R"({"id":"x","obj_path":"/r"})"), "b");  // a disagreeing option excludes a
  EXPECT_EQ(names(R"({"id":1.5})"), "abc");               // no usable member: everything
}

TEST_F(UciServiceTest, AddSetAndCommitAsTheRegistryDoes) {
  EXPECT_EQ(Data("add", R"({"config":"tavrin","type":"node","values":null})"), R"({"section":"cfg0446ab"})");
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"@node[-1]","values":)"
                          R"({"device_id":"0123456789AC","obj_path":"/org/bluez/hci0/dev_C0_FF_EE_00_00_02","time":1700000001}})"),
            kOk);

  // Staged: visible to get, the file untouched.
  EXPECT_EQ(Config(), kTavrin);
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"cfg0446ab"})"),
            R"({"values":{".anonymous":true,".type":"node",".name":"cfg0446ab","device_id":"0123456789AC",)"
            R"("obj_path":"/org/bluez/hci0/dev_C0_FF_EE_00_00_02","time":"1700000001"}})");
  EXPECT_EQ(Staged(),
            "+tavrin.cfg0446ab='node'\n"
            "tavrin.cfg0446ab.device_id='0123456789AC'\n"
            "tavrin.cfg0446ab.obj_path='/org/bluez/hci0/dev_C0_FF_EE_00_00_02'\n"
            "tavrin.cfg0446ab.time='1700000001'\n");
  EXPECT_EQ(Data("changes", R"({"config":"tavrin"})"),
            R"({"changes":[["add","cfg0446ab","node"],["set","cfg0446ab","device_id","0123456789AC"],)"
            R"(["set","cfg0446ab","obj_path","/org/bluez/hci0/dev_C0_FF_EE_00_00_02"],)"
            R"(["set","cfg0446ab","time","1700000001"]]})");
  EXPECT_EQ(Data("changes", R"({})"),
            R"({"changes":{"tavrin":[["add","cfg0446ab","node"],["set","cfg0446ab","device_id","0123456789AC"],)"
            R"(["set","cfg0446ab","obj_path","/org/bluez/hci0/dev_C0_FF_EE_00_00_02"],)"
            R"(["set","cfg0446ab","time","1700000001"]]}})");

  struct stat before {};
  ASSERT_EQ(stat((root_ / "config" / "tavrin").c_str(), &before), 0);
  EXPECT_EQ(Status("commit", R"({"config":"tavrin"})"), kOk);
  EXPECT_EQ(Config(), std::string("\n") + kTavrin +
                          "\n"
                          "config node\n"
                          "\toption device_id '0123456789AC'\n"
                          "\toption obj_path '/org/bluez/hci0/dev_C0_FF_EE_00_00_02'\n"
                          "\toption time '1700000001'\n"
                          "\n");
  EXPECT_EQ(Staged(), "");
  EXPECT_EQ(Data("changes", R"({"config":"tavrin"})"), R"({"changes":[]})");
  // Written beside and renamed over: a new file, and no temporary left.
  struct stat after {};
  stat((root_ / "config" / "tavrin").c_str(), &after);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "config"), fs::directory_iterator()), 1);

  // After the commit the sections are named afresh by position.
  EXPECT_EQ(Json::parse(Data("get", R"({"config":"tavrin","type":"node"})"))["values"].size(), 2u);
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"@node[-1]","option":"obj_path"})"),
            R"({"value":"/org/bluez/hci0/dev_C0_FF_EE_00_00_02"})");
  EXPECT_TRUE(errors_.empty());
}

TEST_F(UciServiceTest, SetAndAddValueRules) {
  // Lists from arrays, scalars over lists, booleans and integers as text,
  // an empty value deletes.
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"sys","values":)"
                          R"({"whitelist":"0123456789AB","extra":["a",2,true],"server":"","neg":-5}})"),
            kOk);
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"sys"})"),
            R"({"values":{".anonymous":false,".type":"sys",".name":"sys","whitelist":"0123456789AB",)"
            R"("extra":["a","2","1"],"neg":"-5"}})");

  // Anything wrong drops the whole request: nothing is staged.
  const std::string staged = Staged();
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"sys","values":{"ok":"1","bad":1.5}})"), kInvalidArgument);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"sys","values":{"bad name":"1"}})"), kInvalidArgument);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"sys","values":{"ctl":"a\u0001b"}})"), kInvalidArgument);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"mqtt","values":{"enable":"1"}})"), kNotFound);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"@node[3]","values":{"a":"1"}})"), kNotFound);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"sys","values":{}})"), kNotFound);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"sys"})"), kInvalidArgument);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"s.y","values":{"a":"1"}})"), kInvalidArgument);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","section":"sys","type":5,"values":{"a":"1"}})"), kInvalidArgument);
  EXPECT_EQ(Status("add", R"({"config":"tavrin","type":"node","values":{"t":{"x":1}}})"), kInvalidArgument);
  EXPECT_EQ(Status("add", R"({"config":"tavrin","type":"no de"})"), kInvalidArgument);
  EXPECT_EQ(Status("add", R"({"config":"tavrin"})"), kInvalidArgument);
  EXPECT_EQ(Status("add", R"({"config":"nope","type":"node"})"), kNotFound);
  EXPECT_EQ(Staged(), staged);

  // Set by type and match touches every matching section.
  EXPECT_EQ(Data("add", R"({"config":"tavrin","type":"node","values":{"device_id":"X","obj_path":"/x"}})"),
            R"({"section":"cfg0446ab"})");
  EXPECT_EQ(Status("set", R"({"config":"tavrin","type":"node","values":{"seen":"1"}})"), kOk);
  EXPECT_EQ(Json::parse(Data("get", R"({"config":"tavrin","type":"node","match":{"seen":"1"}})"))["values"].size(), 2u);
  EXPECT_EQ(Status("set", R"({"config":"tavrin","type":"nope","values":{"seen":"1"}})"), kNotFound);

  // A named add creates the section with its values.
  EXPECT_EQ(Data("add", R"({"config":"tavrin","type":"mqtt","name":"mqtt","values":{"enable":1,"port":"1883"}})"),
            R"({"section":"mqtt"})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"mqtt"})"),
            R"({"values":{".anonymous":false,".type":"mqtt",".name":"mqtt","enable":"1","port":"1883"}})");
}

TEST_F(UciServiceTest, DeleteByMatchSectionAndOptions) {
  Data("add", R"({"config":"tavrin","type":"node","values":{"obj_path":"/x"}})");
  Data("add", R"({"config":"tavrin","type":"node","values":{"obj_path":"/x"}})");
  Data("add", R"({"config":"tavrin","type":"node","values":{"obj_path":"/y"}})");

  // A selector or option list of the wrong kind is refused, not ignored.
  EXPECT_EQ(Status("delete", R"({"config":"tavrin","type":"node","match":"/x"})"), kInvalidArgument);
  EXPECT_EQ(Status("delete", R"({"config":"tavrin","section":"sys","option":5})"), kInvalidArgument);
  EXPECT_EQ(Status("delete", R"({"config":"tavrin"})"), kInvalidArgument);
  EXPECT_EQ(Json::parse(Data("get", R"({"config":"tavrin","type":"node"})"))["values"].size(), 4u);

  EXPECT_EQ(Status("delete", R"({"config":"tavrin","match":{"obj_path":"/x"},"type":"node"})"), kOk);
  const Json left = Json::parse(Data("get", R"({"config":"tavrin","type":"node"})"))["values"];
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left["cfg0646ab"]["obj_path"], "/y");
  EXPECT_EQ(Status("delete", R"({"config":"tavrin","match":{"obj_path":"/x"},"type":"node"})"), kNotFound);

  EXPECT_EQ(Status("delete", R"({"config":"tavrin","section":"sys","options":["server","nope"]})"), kOk);
  EXPECT_EQ(Status("delete", R"({"config":"tavrin","section":"sys","option":"server"})"), kNotFound);
  EXPECT_EQ(Status("delete", R"({"config":"tavrin","section":"auth","option":"token"})"), kOk);
  EXPECT_EQ(Status("delete", R"({"config":"tavrin","section":"@node[0]"})"), kOk);
  EXPECT_EQ(Status("delete", R"({"config":"tavrin","section":"@node[9]"})"), kNotFound);
  EXPECT_EQ(Data("get", R"({"config":"tavrin"})"),
            R"({"values":{"sys":{".anonymous":false,".type":"sys",".name":"sys",".index":0,)"
            R"("whitelist":["0123456789AB","0123456789AC"]},)"
            R"("auth":{".anonymous":false,".type":"auth",".name":"auth",".index":1},)"
            R"("cfg0646ab":{".anonymous":true,".type":"node",".name":"cfg0646ab",".index":2,"obj_path":"/y"}}})");
}

TEST_F(UciServiceTest, RevertDropsStagedChanges) {
  Data("add", R"({"config":"tavrin","type":"node","values":null})");
  Status("delete", R"({"config":"tavrin","section":"auth"})");
  EXPECT_EQ(Status("revert", R"({"config":"tavrin"})"), kOk);
  EXPECT_EQ(Data("changes", R"({"config":"tavrin"})"), R"({"changes":[]})");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"auth","option":"token"})"), R"({"value":"secret"})");
  EXPECT_EQ(Json::parse(Data("get", R"({"config":"tavrin","type":"node"})"))["values"].size(), 1u);
  // Nothing staged: commit leaves the file as it is, comments and layout included.
  EXPECT_EQ(Status("commit", R"({"config":"tavrin"})"), kOk);
  EXPECT_EQ(Config(), kTavrin);
  // A line that does not parse does not keep the others staged.
  std::ofstream(root_ / "delta" / "tavrin") << "tavrin.auth.token='x'\nbad line\n";
  EXPECT_EQ(Status("revert", R"({"config":"tavrin"})"), kOk);
  EXPECT_EQ(Staged(), "");
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"auth","option":"token"})"), R"({"value":"secret"})");
  EXPECT_EQ(Status("revert", R"({"config":"nope"})"), kNotFound);
  EXPECT_EQ(Status("revert", R"({})"), kInvalidArgument);
  EXPECT_EQ(Status("commit", R"({"config":"nope"})"), kNotFound);
}

TEST_F(UciServiceTest, CommentsListsAndQuotesSurviveACommit) {
  const std::string text =
      "# kept until a commit rewrites the file\n"
      "config sys 'sys'\n"
      "\tlist whitelist \"0123456789AB\"  # first\n"
      "\tlist whitelist '0123456789AC'\n"
      "\toption server \"http://h/a b?x='1'\"\n"
      "\toption note 'multi\n"
      "line \\ \"value\"'\n";
  WriteConfig("tavrin", text);
  const std::string before = Data("get", R"({"config":"tavrin","section":"sys"})");
  Data("add", R"({"config":"tavrin","type":"node","values":{"quote":"it's"}})");
  EXPECT_EQ(Status("commit", R"({"config":"tavrin"})"), kOk);
  // The router writes no comments; every value stays as it was.
  EXPECT_EQ(Config().find('#'), std::string::npos);
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"sys"})"), before);
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"@node[0]","option":"quote"})"), R"({"value":"it's"})");
  EXPECT_NE(Config().find("\toption server 'http://h/a b?x='\\''1'\\'''\n"), std::string::npos);
}

TEST_F(UciServiceTest, BrokenConfigIsReportedAndNeverOverwritten) {
  const std::string broken = "config sys 'sys'\n\toption server 'http://x\n";
  WriteConfig("tavrin", broken);
  // Staged changes from before the file broke stay staged.
  fs::create_directory(root_ / "delta");
  std::ofstream(root_ / "delta" / "tavrin") << "tavrin.sys.server='http://y'\n";

  for (const char* method : {"get", "add", "set", "delete", "commit", "changes", "revert"}) {
    const Reply reply = Call(method, R"({"config":"tavrin","section":"sys","type":"x","values":{"a":"1"}})");
    EXPECT_EQ(reply.status, kUnknownError) << method;
    EXPECT_FALSE(reply.data) << method;
  }
  EXPECT_EQ(Config(), broken);
  EXPECT_EQ(Staged(), "tavrin.sys.server='http://y'\n");
  ASSERT_FALSE(errors_.empty());
  EXPECT_EQ(errors_.front(), (root_ / "config" / "tavrin").string() + ": parse error (EOF with unterminated ') at line 2, byte 25");
}

TEST_F(UciServiceTest, StagingFileIsSharedWithTheUciTool) {
  // Lines written by the router's tools apply too, bad lines are skipped.
  fs::create_directory(root_ / "delta");
  std::ofstream(root_ / "delta" / "tavrin") << "tavrin.auth.token='new'\n"
                                               "this is not a change\n"
                                               "|tavrin.sys.whitelist='0123456789AD'\n"
                                               "-tavrin.gone\n"
                                               "@tavrin.auth='login'\n";
  EXPECT_EQ(Data("get", R"({"config":"tavrin","section":"login"})"),
            R"({"values":{".anonymous":false,".type":"auth",".name":"login","token":"new"}})");
  EXPECT_EQ(Data("changes", R"({"config":"tavrin"})"),
            R"({"changes":[["set","auth","token","new"],["list-add","sys","whitelist","0123456789AD"],)"
            R"(["remove","gone"],["rename","auth","login"]]})");
  EXPECT_EQ(Status("commit", R"({"config":"tavrin"})"), kOk);
  EXPECT_NE(Config().find("config auth 'login'\n\toption token 'new'\n"), std::string::npos);
  EXPECT_NE(Config().find("\tlist whitelist '0123456789AD'\n"), std::string::npos);
}

TEST_F(UciServiceTest, RenameOrderAndConfigs) {
  WriteConfig("other", "");
  EXPECT_EQ(Data("configs", "{}"), R"({"configs":["other","tavrin"]})");
  EXPECT_EQ(Status("rename", R"({"config":"tavrin","section":"cfg0346ab","name":"first"})"), kOk);
  EXPECT_EQ(Status("rename", R"({"config":"tavrin","section":"sys","option":"server","name":"url"})"), kOk);
  EXPECT_EQ(Status("rename", R"({"config":"tavrin","section":"sys","name":"bad name"})"), kInvalidArgument);
  EXPECT_EQ(Status("order", R"({"config":"tavrin","sections":["first","auth"]})"), kOk);
  const Json values = Json::parse(Data("get", R"({"config":"tavrin"})"))["values"];
  std::string order;
  for (const auto& [name, section] : values.items()) order += name + ",";
  EXPECT_EQ(order, "first,auth,sys,");
  EXPECT_FALSE(values["first"][".anonymous"].get<bool>());
  EXPECT_EQ(values["sys"]["url"], "http://127.0.0.1:8080");
  EXPECT_EQ(Call("bogus", "{}").status, kMethodNotFound);
}

}  // namespace
}  // namespace ucihost
