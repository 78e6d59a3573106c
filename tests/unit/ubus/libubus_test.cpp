// libubus against a running bus daemon on a socket of the test's own:
// lookup, invocation and its reply paths, objects, events.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {  // the platform's libubox headers have no C++ guards
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

#include "child.h"

namespace {

using ubustest::Child;

std::string Json(blob_attr* attr) {
  char* text = blobmsg_format_json(attr, true);
  std::string out = text ? text : "<null>";
  free(text);
  return out;
}

struct Buf : blob_buf {
  Buf() : blob_buf{} { blob_buf_init(this, 0); }
  explicit Buf(const std::string& json) : Buf() { blobmsg_add_json_from_string(this, json.c_str()); }
  ~Buf() { blob_buf_free(this); }
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;
};

class Bus : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter;
    socket_ = "/tmp/kelvora-ubus-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".sock";
    daemon_ = std::make_unique<Child>(std::vector<std::string>{ubustest::UbusdProgram(), "-s", socket_});
    ASSERT_TRUE(ubustest::WaitUntil([this] {
      ubus_context* probe = ubus_connect(socket_.c_str());
      if (probe) ubus_free(probe);
      return probe != nullptr;
    })) << "no bus daemon on " << socket_;
    ASSERT_EQ(uloop_init(), 0);
  }

  void TearDown() override {
    for (auto* ctx : contexts_) ubus_free(ctx);
    servers_.clear();
    daemon_.reset();
    uloop_done();
    unlink(socket_.c_str());
  }

  ubus_context* Connect() {
    ubus_context* ctx = ubus_connect(socket_.c_str());
    if (ctx) contexts_.push_back(ctx);
    return ctx;
  }

  // Starts the test object server publishing `name`.
  void Serve(const std::string& name) {
    auto server = std::make_unique<Child>(
        std::vector<std::string>{ubustest::TestdProgram(), "-s", socket_, "-o", name});
    ASSERT_EQ(server->ReadLine(), "ready");
    servers_[name] = std::move(server);
  }

  // Runs uloop passes until `done` holds or `limit` has passed.
  template <typename Predicate>
  bool RunUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(2)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      uloop_run_timeout(10);
    }
    return true;
  }

  // Lets whatever is still on its way arrive.
  void Settle() { RunUntil([] { return false; }, std::chrono::milliseconds(150)); }

  std::string socket_;
  std::unique_ptr<Child> daemon_;
  std::map<std::string, std::unique_ptr<Child>> servers_;
  std::vector<ubus_context*> contexts_;
};

// Collects the data replies of a request as JSON texts.
void Collect(ubus_request* req, int, blob_attr* msg) {
  static_cast<std::vector<std::string>*>(req->priv)->push_back(Json(msg));
}

struct Invoked {
  int status = -1;
  std::vector<std::string> replies;
};

Invoked Invoke(ubus_context* ctx, const char* object, const char* method, const std::string& json,
               int timeout_ms = 3000) {
  Invoked result;
  uint32_t id = 0;
  result.status = ubus_lookup_id(ctx, object, &id);
  if (result.status) return result;
  Buf arg(json);
  result.status = ubus_invoke(ctx, id, method, arg.head, Collect, &result.replies, timeout_ms);
  return result;
}

TEST(BusConnect, FailsWithoutADaemon) {
  EXPECT_EQ(ubus_connect("/tmp/kelvora-no-such-bus.sock"), nullptr);
  ubus_context ctx;
  EXPECT_NE(ubus_connect_ctx(&ctx, "/tmp/kelvora-no-such-bus.sock"), 0);
}

TEST(BusStrerror, PlatformTexts) {
  EXPECT_STREQ(ubus_strerror(UBUS_STATUS_OK), "Success");
  EXPECT_STREQ(ubus_strerror(UBUS_STATUS_NOT_FOUND), "Not found");
  EXPECT_STREQ(ubus_strerror(UBUS_STATUS_NO_DATA), "No response");
  EXPECT_STREQ(ubus_strerror(UBUS_STATUS_TIMEOUT), "Request timed out");
  EXPECT_STREQ(ubus_strerror(UBUS_STATUS_PARSE_ERROR), "Parsing message data failed");
  EXPECT_STREQ(ubus_strerror(UBUS_STATUS_SYSTEM_ERROR), "System error");
  EXPECT_STREQ(ubus_strerror(14), "Unknown error: 14");
  EXPECT_STREQ(ubus_strerror(-3), "Unknown error: -3");
}

void CollectPath(ubus_context*, ubus_object_data* obj, void* priv) {
  static_cast<std::vector<std::string>*>(priv)->push_back(obj->path);
}

void CollectSignature(ubus_context*, ubus_object_data* obj, void* priv) {
  blob_attr* method;
  size_t rem;
  auto* out = static_cast<std::map<std::string, std::string>*>(priv);
  blob_for_each_attr(method, obj->signature, rem) (*out)[blobmsg_name(method)] = Json(method);
}

TEST_F(Bus, LookupByNameByPatternAndAll) {
  Serve("test.b");
  Serve("test.a");
  Serve("other");
  ubus_context* ctx = Connect();
  ASSERT_NE(ctx, nullptr);

  uint32_t a = 0, b = 0;
  EXPECT_EQ(ubus_lookup_id(ctx, "test.a", &a), 0);
  EXPECT_EQ(ubus_lookup_id(ctx, "test.b", &b), 0);
  EXPECT_GE(a, static_cast<uint32_t>(UBUS_SYSTEM_OBJECT_MAX));
  EXPECT_NE(a, b);
  uint32_t none = 0;
  EXPECT_EQ(ubus_lookup_id(ctx, "test", &none), UBUS_STATUS_NOT_FOUND);
  EXPECT_EQ(none, 0u);

  std::vector<std::string> paths;
  EXPECT_EQ(ubus_lookup(ctx, "test.*", CollectPath, &paths), 0);
  EXPECT_EQ(paths, (std::vector<std::string>{"test.a", "test.b"}));
  paths.clear();
  EXPECT_EQ(ubus_lookup(ctx, nullptr, CollectPath, &paths), 0);
  EXPECT_EQ(paths, (std::vector<std::string>{"other", "test.a", "test.b"}));
  paths.clear();
  EXPECT_EQ(ubus_lookup(ctx, "nothing*", CollectPath, &paths), UBUS_STATUS_NOT_FOUND);
  EXPECT_TRUE(paths.empty());

  std::map<std::string, std::string> signature;
  EXPECT_EQ(ubus_lookup(ctx, "test.a", CollectSignature, &signature), 0);
  EXPECT_EQ(signature["echo"], "{}");
  EXPECT_EQ(signature["status"], R"({"code":5})");
  EXPECT_EQ(signature["args"], R"({"s":3,"i":5,"t":2,"a":1,"b":7,"d":8,"l":4})");
}

TEST_F(Bus, InvokeRepliesAndStatuses) {
  Serve("test");
  ubus_context* ctx = Connect();
  ASSERT_NE(ctx, nullptr);

  const std::string nested = R"({"s":"é\"","i":-7,"l":-5000000000,"d":0.5,"b":false,"n":null,"a":[1,[2]],"t":{"u":{}}})";
  Invoked echo = Invoke(ctx, "test", "echo", nested);
  EXPECT_EQ(echo.status, 0);
  EXPECT_EQ(echo.replies, (std::vector<std::string>{
                              R"({"s":"é\"","i":-7,"l":-5000000000,"d":0.500000,"b":false,"n":null,"a":[1,[2]],"t":{"u":{}}})"}));

  Invoked empty = Invoke(ctx, "test", "echo", "{}");
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.replies, (std::vector<std::string>{"{}"}));

  Invoked ok = Invoke(ctx, "test", "status", R"({"code":0})");
  EXPECT_EQ(ok.status, 0);
  EXPECT_TRUE(ok.replies.empty());

  EXPECT_EQ(Invoke(ctx, "test", "status", R"({"code":4})").status, UBUS_STATUS_NOT_FOUND);
  EXPECT_EQ(Invoke(ctx, "test", "status", R"({"code":42})").status, 42);

  Invoked multi = Invoke(ctx, "test", "multi", "{}");
  EXPECT_EQ(multi.status, 0);
  EXPECT_EQ(multi.replies, (std::vector<std::string>{R"({"n":1})", R"({"n":2})"}));

  Invoked deferred = Invoke(ctx, "test", "defer", R"({"delay":30})");
  EXPECT_EQ(deferred.status, 0);
  EXPECT_EQ(deferred.replies, (std::vector<std::string>{R"({"deferred":true})"}));

  Invoked args = Invoke(ctx, "test", "args", R"({"s":1,"i":1,"t":{},"a":[],"b":true,"d":1.5,"l":9000000000})");
  EXPECT_EQ(args.replies, (std::vector<std::string>{R"({"matched":["i","t","a","b","d","l"]})"}));

  EXPECT_EQ(Invoke(ctx, "test", "nope", "{}").status, UBUS_STATUS_METHOD_NOT_FOUND);
  EXPECT_EQ(Invoke(ctx, "test", "never", "{}", 100).status, UBUS_STATUS_TIMEOUT);

  Buf arg;
  EXPECT_EQ(ubus_invoke(ctx, 0x7ffffff0, "echo", arg.head, nullptr, nullptr, 1000), UBUS_STATUS_NOT_FOUND);

  // The connection stays usable after a timed-out request.
  EXPECT_EQ(Invoke(ctx, "test", "multi", "{}").replies.size(), 2u);
}

struct AsyncCall {
  ubus_request req{};
  std::vector<std::string> order;
};

TEST_F(Bus, AsyncInvokeCompletesThroughTheLoop) {
  Serve("test");
  ubus_context* ctx = Connect();
  ASSERT_NE(ctx, nullptr);
  ubus_add_uloop(ctx);
  uint32_t id = 0;
  ASSERT_EQ(ubus_lookup_id(ctx, "test", &id), 0);

  AsyncCall call;
  Buf arg(R"({"delay":20})");
  ASSERT_EQ(ubus_invoke_async(ctx, id, "defer", arg.head, &call.req), 0);
  call.req.priv = &call;
  call.req.data_cb = [](ubus_request* req, int, blob_attr* msg) {
    static_cast<AsyncCall*>(req->priv)->order.push_back("data " + Json(msg));
  };
  call.req.complete_cb = [](ubus_request* req, int status) {
    static_cast<AsyncCall*>(req->priv)->order.push_back("done " + std::to_string(status));
  };
  ubus_complete_request_async(ctx, &call.req);
  EXPECT_TRUE(RunUntil([&] { return call.order.size() == 2; }));
  EXPECT_EQ(call.order, (std::vector<std::string>{R"(data {"deferred":true})", "done 0"}));

  // An aborted request reports nothing.
  AsyncCall aborted;
  ASSERT_EQ(ubus_invoke_async(ctx, id, "defer", arg.head, &aborted.req), 0);
  aborted.req.priv = &aborted;
  aborted.req.complete_cb = [](ubus_request* req, int) {
    static_cast<AsyncCall*>(req->priv)->order.push_back("done");
  };
  ubus_complete_request_async(ctx, &aborted.req);
  ubus_abort_request(ctx, &aborted.req);
  Settle();
  EXPECT_TRUE(aborted.order.empty());
}

// An object served by this process.
enum { KEY, __KEY_MAX };
const blobmsg_policy kKeyPolicy[__KEY_MAX] = {{"key", BLOBMSG_TYPE_STRING}};

struct Served {
  ubus_context* ctx = nullptr;
  ubus_request_data deferred{};
  uloop_timeout later{};
  int calls = 0;
};
Served* served;

int Lookup(ubus_context* ctx, ubus_object*, ubus_request_data* req, const char* method, blob_attr* msg) {
  blob_attr* tb[__KEY_MAX];
  blobmsg_parse(kKeyPolicy, __KEY_MAX, tb, blob_data(msg), blob_len(msg));
  ++served->calls;
  if (!tb[KEY]) return UBUS_STATUS_INVALID_ARGUMENT;
  Buf reply;
  blobmsg_add_string(&reply, "method", method);
  blobmsg_add_string(&reply, "key", blobmsg_get_string(tb[KEY]));
  ubus_send_reply(ctx, req, reply.head);
  return 0;
}

int Later(ubus_context* ctx, ubus_object*, ubus_request_data* req, const char*, blob_attr*) {
  ubus_defer_request(ctx, req, &served->deferred);
  served->later.cb = [](uloop_timeout*) {
    Buf reply(R"({"late":true})");
    ubus_send_reply(served->ctx, &served->deferred, reply.head);
    ubus_complete_deferred_request(served->ctx, &served->deferred, 0);
  };
  uloop_timeout_set(&served->later, 10);
  return 0;
}

const ubus_method kMethods[] = {
    UBUS_METHOD("lookup", Lookup, kKeyPolicy),
    UBUS_METHOD_NOARG("later", Later),
};
ubus_object_type kType = UBUS_OBJECT_TYPE("served", kMethods);

TEST_F(Bus, ObjectsPublishedHereServeOtherClients) {
  Served state;
  served = &state;
  state.ctx = Connect();
  ubus_context* client = Connect();
  ASSERT_NE(state.ctx, nullptr);
  ASSERT_NE(client, nullptr);
  ubus_add_uloop(state.ctx);
  ubus_add_uloop(client);

  ubus_object object{};
  object.name = "served";
  object.type = &kType;
  object.methods = kMethods;
  object.n_methods = ARRAY_SIZE(kMethods);
  ASSERT_EQ(ubus_add_object(state.ctx, &object), 0);
  EXPECT_NE(object.id, 0u);
  EXPECT_NE(kType.id, 0u);

  uint32_t id = 0;
  ASSERT_EQ(ubus_lookup_id(client, "served", &id), 0);
  EXPECT_EQ(id, object.id);

  auto call = [&](const char* method, const std::string& json) {
    AsyncCall result;
    Buf arg(json);
    EXPECT_EQ(ubus_invoke_async(client, id, method, arg.head, &result.req), 0);
    result.req.priv = &result;
    result.req.data_cb = [](ubus_request* req, int, blob_attr* msg) {
      static_cast<AsyncCall*>(req->priv)->order.push_back(Json(msg));
    };
    result.req.complete_cb = [](ubus_request* req, int status) {
      static_cast<AsyncCall*>(req->priv)->order.push_back("status " + std::to_string(status));
    };
    ubus_complete_request_async(client, &result.req);
    RunUntil([&] { return !result.order.empty() && result.order.back().rfind("status", 0) == 0; });
    return result.order;
  };

  EXPECT_EQ(call("lookup", R"({"key":"k1"})"),
            (std::vector<std::string>{R"({"method":"lookup","key":"k1"})", "status 0"}));
  EXPECT_EQ(call("lookup", R"({"key":5})"), (std::vector<std::string>{"status 2"}));
  EXPECT_EQ(call("later", "{}"), (std::vector<std::string>{R"({"late":true})", "status 0"}));
  EXPECT_EQ(call("missing", "{}"), (std::vector<std::string>{"status 3"}));
  EXPECT_EQ(state.calls, 2);

  ASSERT_EQ(ubus_remove_object(state.ctx, &object), 0);
  EXPECT_EQ(object.id, 0u);
  EXPECT_EQ(ubus_lookup_id(client, "served", &id), UBUS_STATUS_NOT_FOUND);
  served = nullptr;
}

struct Listener {
  ubus_event_handler ev{};
  std::vector<std::string> seen;
};

void Record(ubus_context*, ubus_event_handler* ev, const char* type, blob_attr* msg) {
  reinterpret_cast<Listener*>(ev)->seen.push_back(std::string(type) + " " + Json(msg));
}

TEST_F(Bus, EventsReachEveryMatchingSubscriberOnce) {
  ubus_context* both = Connect();
  ubus_context* other = Connect();
  ubus_context* all = Connect();
  ubus_context* sender = Connect();
  ASSERT_TRUE(both && other && all && sender);
  Listener l_both, l_other, l_all, l_sender;
  for (auto* l : {&l_both, &l_other, &l_all, &l_sender}) l->ev.cb = Record;
  ASSERT_EQ(ubus_register_event_handler(both, &l_both.ev, "kelvora.report"), 0);
  ASSERT_EQ(ubus_register_event_handler(both, &l_both.ev, "kelvora.*"), 0);
  ASSERT_EQ(ubus_register_event_handler(other, &l_other.ev, "kelvora.websocket"), 0);
  ASSERT_EQ(ubus_register_event_handler(all, &l_all.ev, "*"), 0);
  ASSERT_EQ(ubus_register_event_handler(sender, &l_sender.ev, "kelvora.report"), 0);
  for (auto* ctx : {both, other, all, sender}) ubus_add_uloop(ctx);

  Buf data(R"({"device_id":"0123456789AB","v":25.0,"ts":1601267072})");
  ASSERT_EQ(ubus_send_event(sender, "kelvora.report", data.head), 0);
  Buf empty;
  ASSERT_EQ(ubus_send_event(sender, "kelvora.websocket", empty.head), 0);

  const std::string report = R"(kelvora.report {"device_id":"0123456789AB","v":25.000000,"ts":1601267072})";
  EXPECT_TRUE(RunUntil([&] { return l_both.seen.size() == 2 && l_all.seen.size() == 2 && l_other.seen.size() == 1; }));
  Settle();  // nothing more arrives
  EXPECT_EQ(l_both.seen, (std::vector<std::string>{report, "kelvora.websocket {}"}));
  EXPECT_EQ(l_all.seen, (std::vector<std::string>{report, "kelvora.websocket {}"}));
  EXPECT_EQ(l_other.seen, (std::vector<std::string>{"kelvora.websocket {}"}));
  EXPECT_TRUE(l_sender.seen.empty());  // never back to the sender's own connection

  EXPECT_EQ(ubus_send_event(sender, "ubus.object.add", empty.head), UBUS_STATUS_PERMISSION_DENIED);
  Listener refused;
  EXPECT_NE(ubus_register_event_handler(other, &refused.ev, ""), 0);

  // A removed handler gets nothing more.
  ASSERT_EQ(ubus_unregister_event_handler(other, &l_other.ev), 0);
  ASSERT_EQ(ubus_send_event(sender, "kelvora.websocket", empty.head), 0);
  EXPECT_TRUE(RunUntil([&] { return l_all.seen.size() == 3; }));
  Settle();
  EXPECT_EQ(l_other.seen.size(), 1u);
}

TEST_F(Bus, PublishedObjectsAreAnnounced) {
  ubus_context* ctx = Connect();
  ASSERT_NE(ctx, nullptr);
  Listener l;
  l.ev.cb = Record;
  ASSERT_EQ(ubus_register_event_handler(ctx, &l.ev, "ubus.object.*"), 0);
  ubus_add_uloop(ctx);

  Serve("announced");
  ASSERT_TRUE(RunUntil([&] { return l.seen.size() == 1; }));
  servers_.clear();
  ASSERT_TRUE(RunUntil([&] { return l.seen.size() == 2; }));
  EXPECT_EQ(l.seen[0].rfind(R"(ubus.object.add {"id":)", 0), 0u);
  EXPECT_NE(l.seen[0].find(R"(,"path":"announced"})"), std::string::npos);
  EXPECT_EQ(l.seen[1].rfind(R"(ubus.object.remove {"id":)", 0), 0u);
  EXPECT_EQ(l.seen[0].substr(l.seen[0].find(':')), l.seen[1].substr(l.seen[1].find(':')));
}

// The ACL object (id 2) answers "query" with the sequence number of the
// loaded access lists and, for the caller's objects (newest first), the
// rules that carry an "acl" member.
TEST_F(Bus, AclObjectDescribesTheCallersObjects) {
  if (geteuid() != 0) GTEST_SKIP() << "ACL files must be owned by root";
  char dir[] = "/tmp/kelvora-acl-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/served.json";
  std::ofstream(file) << R"({"group": "staff", "access": {"served*": {"methods": ["lookup"], "acl": {"level": 2}}}})";
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  daemon_.reset();
  daemon_ = std::make_unique<Child>(std::vector<std::string>{ubustest::UbusdProgram(), "-s", socket_, "-A", dir});
  ubus_context* ctx = nullptr;
  ASSERT_TRUE(ubustest::WaitUntil([&] { return (ctx = Connect()) != nullptr; }));

  ubus_object a{}, b{}, hidden{};
  for (auto [object, name] : {std::pair{&a, "served.a"}, {&hidden, "other"}, {&b, "served.b"}}) {
    object->name = name;
    object->type = &kType;
    object->methods = kMethods;
    object->n_methods = ARRAY_SIZE(kMethods);
    ASSERT_EQ(ubus_add_object(ctx, object), 0);
  }
  std::vector<std::string> replies;
  Buf none;
  EXPECT_EQ(ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_ACL, "query", none.head, Collect, &replies, 2000), 0);
  EXPECT_EQ(replies, (std::vector<std::string>{
                         R"({"seq":1,"acl":[{"obj":"served.b","group":"staff","acl":{"level":2}},)"
                         R"({"obj":"served.a","group":"staff","acl":{"level":2}}]})"}));
  EXPECT_EQ(ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_ACL, "list", none.head, nullptr, nullptr, 2000),
            UBUS_STATUS_INVALID_COMMAND);

  unlink(file.c_str());
  rmdir(dir);
}

// A raw connection that speaks the wire protocol by hand.
class Raw {
 public:
  explicit Raw(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd_);
      fd_ = -1;
    }
    timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }
  ~Raw() {
    if (fd_ >= 0) close(fd_);
  }
  bool Send(const std::vector<uint8_t>& bytes) {
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // The next message's type and payload bytes, or type -1 at end of stream.
  std::pair<int, std::vector<uint8_t>> Receive() {
    uint8_t head[12];
    if (!ReadAll(head, sizeof(head))) return {-1, {}};
    const uint32_t raw = uint32_t(head[9]) << 16 | uint32_t(head[10]) << 8 | head[11];
    std::vector<uint8_t> body(raw > 4 ? raw - 4 : 0);
    if (!body.empty() && !ReadAll(body.data(), body.size())) return {-1, {}};
    return {head[1], body};
  }

 private:
  bool ReadAll(uint8_t* out, size_t len) {
    while (len) {
      const ssize_t n = read(fd_, out, len);
      if (n <= 0) return false;
      out += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }
  int fd_ = -1;
};

TEST_F(Bus, DaemonAnswersUnknownCommandsAndDropsBrokenClients) {
  Serve("test");
  {
    Raw raw(socket_);
    EXPECT_EQ(raw.Receive().first, UBUS_MSG_HELLO);
    // Message type 99, sequence 7, empty blob: "Invalid command".
    ASSERT_TRUE(raw.Send({0, 99, 0, 7, 0, 0, 0, 0, 0, 0, 0, 4}));
    auto status = raw.Receive();
    EXPECT_EQ(status.first, UBUS_MSG_STATUS);
    EXPECT_EQ(status.second, (std::vector<uint8_t>{0x01, 0, 0, 8, 0, 0, 0, UBUS_STATUS_INVALID_COMMAND}));
    // A blob shorter than its own header ends the connection.
    ASSERT_TRUE(raw.Send({0, UBUS_MSG_PING, 0, 8, 0, 0, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(raw.Receive().first, -1);
  }
  {
    Raw raw(socket_);
    EXPECT_EQ(raw.Receive().first, UBUS_MSG_HELLO);
    // A message longer than the bus allows ends the connection.
    ASSERT_TRUE(raw.Send({0, UBUS_MSG_PING, 0, 9, 0, 0, 0, 0, 0, 0x7f, 0xff, 0xff}));
    EXPECT_EQ(raw.Receive().first, -1);
  }
  // Everybody else is still served.
  ubus_context* ctx = Connect();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(Invoke(ctx, "test", "multi", "{}").replies.size(), 2u);
}

TEST_F(Bus, ALostDaemonEndsPendingRequests) {
  Serve("test");
  ubus_context* ctx = Connect();
  ASSERT_NE(ctx, nullptr);
  std::thread killer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    daemon_->Stop(SIGKILL);
  });
  const auto start = std::chrono::steady_clock::now();
  const int status = Invoke(ctx, "test", "never", "{}", 10000).status;
  killer.join();
  EXPECT_NE(status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  uint32_t id = 0;
  EXPECT_NE(ubus_lookup_id(ctx, "test", &id), 0);
}

}  // namespace
