// ubusd's access lists: how files, patterns, methods and grantees combine,
// where the system tests do not reach (names without entries, precedence,
// reload corner cases, the query's description).
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>

#include "acl.h"
}

namespace {

namespace fs = std::filesystem;

// A directory of ACL files, owned by root as the loader demands.
class AclDir : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "ACL files must be owned by root";
    char name[] = "/tmp/kelvora-acl-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    acl_free_all();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void Write(const std::string& name, const std::string& text, mode_t mode = 0644) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }
  void Remove(const std::string& name) { fs::remove(dir_ + "/" + name); }
  bool Load() { return acl_load(dir_.c_str()); }

  std::string dir_;
};

struct Peer {
  int uid;
  int gid;
  std::vector<int> groups;

  bool May(const char* name, enum acl_right right, const char* method = nullptr) const {
    acl_peer p = {};
    p.uid = uid;
    p.gid = gid;
    p.groups = const_cast<int*>(groups.data());
    p.n_groups = groups.size();
    return acl_allowed(&p, name, method, right);
  }
};

int Uid(const char* name) {
  const passwd* pw = getpwnam(name);
  return pw ? static_cast<int>(pw->pw_uid) : -1;
}

int Gid(const char* name) {
  const group* gr = getgrnam(name);
  return gr ? static_cast<int>(gr->gr_gid) : -1;
}

TEST_F(AclDir, PatternsAndMethods) {
  const int daemon = Uid("daemon");
  if (daemon <= 0) GTEST_SKIP() << "no user daemon";
  Write("a.json", R"({"user": "daemon",
    "access": {"test": {"methods": ["echo", 5, "st*"]}, "pre*": {"methods": ["*"]},
               "tagged": {"acl": {"x": 1}}, "*": {"methods": ["ping"]}, "flat": {"methods": "*"}},
    "listen": ["*"], "subscribe": ["test"]})");
  ASSERT_TRUE(Load());
  const Peer d{daemon, daemon, {}};

  // Without a '*' a pattern is the whole name; methods are whole names too.
  EXPECT_TRUE(d.May("test", ACL_ACCESS, "echo"));
  EXPECT_FALSE(d.May("test", ACL_ACCESS, "status"));
  EXPECT_TRUE(d.May("test", ACL_ACCESS, "st*"));
  EXPECT_FALSE(d.May("testx", ACL_ACCESS, "echo"));
  // A prefix covers the name itself; "*" covers every name.
  EXPECT_TRUE(d.May("pre", ACL_ACCESS, "any"));
  EXPECT_TRUE(d.May("pre.x", ACL_ACCESS, "any"));
  EXPECT_FALSE(d.May("pr", ACL_ACCESS, "any"));
  EXPECT_TRUE(d.May("testx", ACL_ACCESS, "ping"));
  // An entry with only "acl", or "methods" not an array, grants no call.
  EXPECT_FALSE(d.May("tagged", ACL_ACCESS, "x"));
  EXPECT_FALSE(d.May("flat", ACL_ACCESS, "x"));
  // Each list grants its own right only; "*" leaves an empty prefix.
  EXPECT_TRUE(d.May("", ACL_LISTEN));
  EXPECT_TRUE(d.May("any.event", ACL_LISTEN));
  EXPECT_FALSE(d.May("any.event", ACL_SEND));
  EXPECT_FALSE(d.May("test", ACL_PUBLISH));
  EXPECT_TRUE(d.May("test", ACL_SUBSCRIBE));
  EXPECT_FALSE(d.May("testx", ACL_SUBSCRIBE));

  // Root needs no rule; a name-less object is not restricted; others get nothing.
  EXPECT_TRUE((Peer{0, 1234, {}}).May("test", ACL_PUBLISH));
  EXPECT_TRUE((Peer{daemon + 1000, daemon + 1000, {}}).May(nullptr, ACL_ACCESS, "echo"));
  EXPECT_FALSE((Peer{daemon + 1000, daemon, {}}).May("test", ACL_ACCESS, "echo"));
}

TEST_F(AclDir, Grantees) {
  const int daemon = Uid("daemon"), bin = Uid("bin"), adm = Gid("adm");
  if (daemon <= 0 || bin <= 0 || adm <= 0) GTEST_SKIP() << "no user daemon, bin or group adm";
  Write("both.json", R"({"user": "daemon", "group": "adm", "publish": ["u"]})");
  Write("group.json", R"({"group": "adm", "publish": ["g"]})");
  Write("ghost-user.json", R"({"user": "kelvora-no-such-user", "publish": ["gu"]})");
  Write("ghost-group.json", R"({"group": "kelvora-no-such-group", "publish": ["gg"]})");
  Write("nobody.json", R"({"publish": ["n"]})");
  ASSERT_TRUE(Load());

  // "user" wins over "group" in one file.
  EXPECT_TRUE((Peer{daemon, daemon, {}}).May("u", ACL_PUBLISH));
  EXPECT_FALSE((Peer{bin, adm, {}}).May("u", ACL_PUBLISH));
  // A group by primary or supplementary id, never by uid.
  EXPECT_TRUE((Peer{bin, adm, {}}).May("g", ACL_PUBLISH));
  EXPECT_TRUE((Peer{bin, bin, {bin, adm}}).May("g", ACL_PUBLISH));
  EXPECT_FALSE((Peer{adm, bin, {}}).May("g", ACL_PUBLISH));
  // An unknown user stands for uid 0 and so grants nobody; an unknown group
  // stands for gid 0 and grants its members.
  EXPECT_FALSE((Peer{bin, bin, {}}).May("gu", ACL_PUBLISH));
  EXPECT_TRUE((Peer{bin, 0, {}}).May("gg", ACL_PUBLISH));
  EXPECT_TRUE((Peer{bin, bin, {0}}).May("gg", ACL_PUBLISH));
  EXPECT_FALSE((Peer{bin, bin, {}}).May("gg", ACL_PUBLISH));
  // A file naming neither grants nothing.
  EXPECT_FALSE((Peer{bin, 0, {0}}).May("n", ACL_PUBLISH));
}

TEST_F(AclDir, FilesAndReloads) {
  const int daemon = Uid("daemon");
  if (daemon <= 0) GTEST_SKIP() << "no user daemon";
  const Peer d{daemon, daemon, {}};
  Write("a.json", R"({"user": "daemon", "send": ["a"]})");
  Write("gw.json", R"({"user": "daemon", "send": ["gw"]})", 0664);
  Write("ox.json", R"({"user": "daemon", "send": ["ox"]})", 0645);
  Write("ux.json", R"({"user": "daemon", "send": ["ux"]})", 0754);
  Write("array.json", R"([{"user": "daemon", "send": ["array"]}])");
  Write("a.txt", R"({"user": "daemon", "send": ["txt"]})");
  fs::create_directory(dir_ + "/dir.json");
  ASSERT_TRUE(Load());
  const uint32_t first = acl_sequence();
  EXPECT_TRUE(d.May("a", ACL_SEND));
  EXPECT_FALSE(d.May("gw", ACL_SEND));
  EXPECT_FALSE(d.May("ox", ACL_SEND));
  EXPECT_TRUE(d.May("ux", ACL_SEND));
  EXPECT_FALSE(d.May("array", ACL_SEND));
  EXPECT_FALSE(d.May("txt", ACL_SEND));

  // No file left to match: nothing changes, not even the sequence.
  for (const char* name : {"a.json", "gw.json", "ox.json", "ux.json", "array.json"}) Remove(name);
  fs::remove(dir_ + "/dir.json");
  EXPECT_FALSE(Load());
  EXPECT_FALSE(acl_load((dir_ + "/missing").c_str()));
  EXPECT_EQ(acl_sequence(), first);
  EXPECT_TRUE(d.May("a", ACL_SEND));

  // Otherwise the rules are exactly those of the files that load now.
  Write("b.json", R"({"user": "daemon", "send": ["b"]})");
  Write("c.json", "{");
  ASSERT_TRUE(Load());
  EXPECT_EQ(acl_sequence(), first + 1);
  EXPECT_FALSE(d.May("a", ACL_SEND));
  EXPECT_TRUE(d.May("b", ACL_SEND));
}

TEST_F(AclDir, DescribeListsAclMembersByPatternThenFile) {
  Write("1.json", R"({"user": "daemon", "access": {"obj": {"methods": ["m"], "acl": {"u": true}},
                                                    "other": {"acl": {"o": 1}}, "ob": {"methods": ["*"]}}})");
  Write("0.json", R"({"group": "adm", "access": {"obj*": {"tags": [], "acl": {"g": "x"}}}})");
  ASSERT_TRUE(Load());

  auto describe = [](const char* path) {
    blob_buf b = {};
    blob_buf_init(&b, 0);
    void* list = blobmsg_open_array(&b, "acl");
    acl_describe(&b, path);
    blobmsg_close_array(&b, list);
    char* text = blobmsg_format_json(b.head, true);
    std::string out = text ? text : "";
    free(text);
    blob_buf_free(&b);
    return out;
  };
  EXPECT_EQ(describe("obj"), R"({"acl":[{"obj":"obj","group":"adm","acl":{"g":"x"}},)"
                             R"({"obj":"obj","user":"daemon","acl":{"u":true}}]})");
  EXPECT_EQ(describe("objx"), R"({"acl":[{"obj":"objx","group":"adm","acl":{"g":"x"}}]})");
  EXPECT_EQ(describe("ob"), R"({"acl":[]})");
}

}  // namespace
