// The ubus wrapper on a bus of its own (private namespace, ubusd on the
// default socket), with the test object server for calls.
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iostream>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "log_capture.h"
#include "ipc/ubus.h"
#include "log/log.h"
#include "threads.h"

namespace {

using namespace std::chrono_literals;
using ubustest::Child;

const char* const kSocket = "/var/run/ubus/ubus.sock";

// Texts handed to a handler, in arrival order.
class Inbox {
 public:
  ipc::CallbackHandler Handler(const std::string& tag = "") {
    return [this, tag](const char* text) {
      std::lock_guard<std::mutex> lock(mutex_);
      texts_.push_back(tag + (text ? text : "<null>"));
      changed_.notify_all();
    };
  }
  // Waits until `count` texts arrived; returns all of them.
  std::vector<std::string> Wait(size_t count, std::chrono::milliseconds timeout = 3s) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return texts_.size() >= count; });
    return texts_;
  }
  std::vector<std::string> Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> texts_;
};

// Exposes the loop state to the tests.
class Listener : public ipc::UBUSListener {
 public:
  Listener() : ipc::UBUSListener(30) {}
  bool running() const { return loop_running; }
  bool connected() const { return context != nullptr; }
  unsigned attempts() const { return reconnect_attempts; }
  pid_t server_tid() {
    // The newest thread of the process once the loop has started.
    pid_t newest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
      newest = std::max<pid_t>(newest, std::stoi(entry.path().filename()));
    return newest;
  }
};

class Wrapper : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.emplace();
    server_ = std::make_unique<Child>(std::vector<std::string>{ubustest::TestdProgram(), "-o", "test"});
    ASSERT_EQ(server_->ReadLine(), "ready");
  }
  void TearDown() override {
    server_.reset();
    log_.reset();
  }

  // The message part of every record.
  std::vector<std::string> Records() const { return log_->Messages(); }

  // Sends one event the way the daemons do: a connection for that event.
  static bool Send(const char* id, const std::string& json) {
    ipc::UBUS bus(30);
    return bus.Event(id, json);
  }

  std::optional<testsupport::LogCapture> log_;
  std::unique_ptr<Child> server_;
};

TEST_F(Wrapper, EventArgumentsThatCannotBeSentFailQuietly) {
  Listener listener;
  Inbox inbox;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
  listener.ServerStart();

  EXPECT_FALSE(Send("kelvora.report", ""));
  EXPECT_FALSE(Send(nullptr, "{}"));
  EXPECT_TRUE(Records().empty());

  EXPECT_FALSE(Send("kelvora.report", "{bad"));
  EXPECT_FALSE(Send("kelvora.report", "[1,2]"));
  EXPECT_EQ(Records(), (std::vector<std::string>{"Failed to parse message data : {bad",
                                                 "Failed to parse message data : [1,2]"}));

  ASSERT_TRUE(Send("kelvora.report", R"({"n":1})"));
  EXPECT_EQ(inbox.Wait(1), (std::vector<std::string>{R"({"n":1})"}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(inbox.Now().size(), 1u);
}

TEST_F(Wrapper, HandlersGetCompactJsonOfEveryValueKind) {
  Listener listener;
  Inbox inbox;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
  listener.ServerStart();

  ASSERT_TRUE(Send("kelvora.report",
                   R"({"data":{"ts":1601267072,"v":25.0},"device_id":"0123456789AB","sensor_type":"PM_1_0"})"));
  ASSERT_TRUE(Send("kelvora.report",
                   R"({"i":-2147483648,"l":4294967296,"m":-9007199254740993,"d":0.10000000149011612,)"
                   R"("e":1.5e-7,"b":true,"f":false,"n":null,"s":"a\"b\\c\nd é","a":[1,[],{}],"t":{"u":{"v":[null]}}})"));
  ASSERT_TRUE(Send("kelvora.report", "{}"));
  EXPECT_EQ(inbox.Wait(3),
            (std::vector<std::string>{
                R"({"data":{"ts":1601267072,"v":25.0},"device_id":"0123456789AB","sensor_type":"PM_1_0"})",
                R"({"i":-2147483648,"l":4294967296,"m":-9007199254740993,"d":0.10000000149011612,)"
                R"("e":1.5e-07,"b":true,"f":false,"n":null,"s":"a\"b\\c\nd é","a":[1,[],{}],"t":{"u":{"v":[null]}}})",
                "{}"}));
}

TEST_F(Wrapper, CallPassesEveryReplyToTheHandler) {
  ipc::UBUS bus(30);
  Inbox inbox;
  EXPECT_TRUE(bus.Call("test", "echo", R"({"config":"tavrin","section":"sys"})", inbox.Handler()));
  EXPECT_TRUE(bus.Call("test", "multi", "", inbox.Handler("multi ")));
  EXPECT_TRUE(bus.Call("test", "defer", R"({"delay":20})", inbox.Handler()));
  EXPECT_TRUE(bus.Call("test", "echo", R"({"x":1})", nullptr));  // an empty handler is allowed
  EXPECT_EQ(inbox.Now(), (std::vector<std::string>{R"({"config":"tavrin","section":"sys"})", R"(multi {"n":1})",
                                                   R"(multi {"n":2})", R"({"deferred":true})"}));
  EXPECT_TRUE(Records().empty());
}

TEST_F(Wrapper, CallWithEmptyArgumentSendsAnEmptyTable) {
  ipc::UBUS bus(30);
  Inbox inbox;
  EXPECT_TRUE(bus.Call("test", "echo", "", inbox.Handler()));
  EXPECT_EQ(inbox.Now(), (std::vector<std::string>{"{}"}));
}

TEST_F(Wrapper, StatusOnlyReplySucceedsWithoutCallingTheHandler) {
  ipc::UBUS bus(30);
  Inbox inbox;
  EXPECT_TRUE(bus.Call("test", "status", R"({"code":0})", inbox.Handler()));
  EXPECT_TRUE(inbox.Now().empty());
  EXPECT_TRUE(Records().empty());
}

TEST_F(Wrapper, CallFailuresWriteTheirRecords) {
  ipc::UBUS bus(30);
  Inbox inbox;
  EXPECT_FALSE(bus.Call("uci", "get", R"({"config":"tavrin"})", inbox.Handler()));
  EXPECT_FALSE(bus.Call("test", "echo", "{bad", inbox.Handler()));
  EXPECT_FALSE(bus.Call("test", "status", R"({"code":4})", inbox.Handler()));
  EXPECT_FALSE(bus.Call("test", "nope", "", inbox.Handler()));
  EXPECT_FALSE(bus.Call(nullptr, "echo", "", inbox.Handler()));
  EXPECT_TRUE(inbox.Now().empty());
  EXPECT_EQ(Records(), (std::vector<std::string>{
                           "lookup_id",
                           "Failed to parse message data",
                           R"(invoke Not found p:test m:status arg:{"code":4})",
                           "invoke Method not found p:test m:nope arg:",
                           "lookup_id",
                       }));
}

TEST_F(Wrapper, CallTimesOutAfterTheObjectsTimeout) {
  ipc::UBUS bus(1);
  Inbox inbox;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(bus.Call("test", "never", "{}", inbox.Handler()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_EQ(Records(), (std::vector<std::string>{"invoke Request timed out p:test m:never arg:{}"}));
  // The same object still works afterwards.
  EXPECT_TRUE(bus.Call("test", "echo", "{}", inbox.Handler()));
  EXPECT_EQ(inbox.Now(), (std::vector<std::string>{"{}"}));
}

TEST_F(Wrapper, DuplicateRegistrationKeepsTheFirstHandler) {
  Listener listener;
  Inbox first, second;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", first.Handler()));
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", second.Handler()));
  listener.ServerStart();
  ASSERT_TRUE(Send("kelvora.report", R"({"n":1})"));
  EXPECT_EQ(first.Wait(1), (std::vector<std::string>{R"({"n":1})"}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(first.Now().size(), 1u);  // subscribed twice, still delivered once
  EXPECT_TRUE(second.Now().empty());
}

TEST_F(Wrapper, UnregisteredAndUnknownNamesAreDroppedSilently) {
  Listener listener;
  Inbox report, websocket, wildcard;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", report.Handler()));
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.websocket", websocket.Handler()));
  // Matched by the bus, but the received name hashes differently.
  ASSERT_TRUE(listener.RegisterEventHandler("other.*", wildcard.Handler()));
  listener.ServerStart();

  listener.UnregisterEventHandler("kelvora.report");
  ASSERT_TRUE(Send("kelvora.report", R"({"n":1})"));
  ASSERT_TRUE(Send("other.thing", R"({"n":2})"));
  ASSERT_TRUE(Send("kelvora.websocket", R"({"n":3})"));
  EXPECT_EQ(websocket.Wait(1), (std::vector<std::string>{R"({"n":3})"}));
  EXPECT_TRUE(listener.running());
  EXPECT_TRUE(report.Now().empty());
  EXPECT_TRUE(wildcard.Now().empty());
  EXPECT_TRUE(Records().empty());

  // Registering again after the removal works as the first time.
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", report.Handler()));
  ASSERT_TRUE(Send("kelvora.report", R"({"n":4})"));
  EXPECT_EQ(report.Wait(1), (std::vector<std::string>{R"({"n":4})"}));
}

using testsupport::ThreadCount;

TEST_F(Wrapper, ServerStartWhileRunningDoesNothing) {
  Listener listener;
  Inbox inbox;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
  listener.ServerStart();
  ASSERT_TRUE(ubustest::WaitUntil([&] { return listener.running(); }));
  // Counted once the server thread runs: a sanitizer may add a thread of its
  // own when the first thread starts.
  const size_t running = ThreadCount();
  listener.ServerStart();
  listener.ServerStart();
  EXPECT_EQ(ThreadCount(), running);
  ASSERT_TRUE(Send("kelvora.report", R"({"n":1})"));
  EXPECT_EQ(inbox.Wait(1).size(), 1u);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(inbox.Now().size(), 1u);

  listener.ServerStop();
  EXPECT_FALSE(listener.running());
  EXPECT_EQ(testsupport::ThreadCountOnceItIs(running - 1), running - 1);
  // Stopped, the listener can run again.
  listener.ServerStart();
  ASSERT_TRUE(Send("kelvora.report", R"({"n":2})"));
  EXPECT_EQ(inbox.Wait(2).size(), 2u);
}

long VoluntarySwitches(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  return -1;
}

TEST_F(Wrapper, IdleLoopSleepsUntilTrafficOrStop) {
  Listener listener;
  Inbox inbox;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
  listener.ServerStart();
  ASSERT_TRUE(ubustest::WaitUntil([&] { return listener.running(); }));
  const pid_t tid = listener.server_tid();
  std::this_thread::sleep_for(20ms);
  const long before = VoluntarySwitches(tid);
  std::this_thread::sleep_for(300ms);
  const long idle = VoluntarySwitches(tid) - before;
  ASSERT_GE(before, 0);
  // A loop that polled every millisecond would have woken ~300 times.
  EXPECT_LE(idle, 5);

  ASSERT_TRUE(Send("kelvora.report", R"({"n":1})"));
  EXPECT_EQ(inbox.Wait(1).size(), 1u);

  // The stop wakes the blocked wait (a hang here is the failure).
  listener.ServerStop();
  EXPECT_FALSE(listener.running());
}

TEST_F(Wrapper, StopIsHonouredWhenRequestedRightAfterStart) {
  for (int i = 0; i < 50; ++i) {
    Listener listener;
    Inbox inbox;
    ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
    listener.ServerStart();
    listener.ServerStop();
    EXPECT_FALSE(listener.running());
  }
  // A stop without a loop is harmless, and a later start still runs.
  Listener listener;
  listener.ServerStop();
  Inbox inbox;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
  listener.ServerStart();
  ASSERT_TRUE(Send("kelvora.report", "{}"));
  EXPECT_EQ(inbox.Wait(1).size(), 1u);
}

TEST_F(Wrapper, DestroyingARunningListenerStopsItsLoop) {
  Inbox inbox;
  {
    Listener listener;
    ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
    listener.ServerStart();
    ASSERT_TRUE(ubustest::WaitUntil([&] { return listener.running(); }));
  }
  {
    ipc::UBUS plain(30);
    plain.ServerStart();
  }
  EXPECT_TRUE(Send("kelvora.report", "{}"));
  EXPECT_TRUE(Records().empty());
}

TEST_F(Wrapper, HandlersMaySendEventsThemselves) {
  Listener listener;
  Inbox echoed;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.websocket", [](const char* text) {
    Send("kelvora.report", text ? text : "{}");
  }));
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", echoed.Handler()));
  listener.ServerStart();
  ASSERT_TRUE(Send("kelvora.websocket", R"({"cmd":"beacon"})"));
  EXPECT_EQ(echoed.Wait(1), (std::vector<std::string>{R"({"cmd":"beacon"})"}));
}

TEST_F(Wrapper, SeveralClientsExchangeEventsAndCallsConcurrently) {
  Listener listener;
  Inbox got;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", got.Handler()));
  listener.ServerStart();

  // A second listener in a process of its own; probes until it is subscribed.
  Child tool(std::vector<std::string>{ubustest::ToolProgram(), "listen", "kelvora.report"});
  std::string line;
  int probes = 0;
  while (line.empty() && probes < 100) {
    ASSERT_TRUE(Send("kelvora.report", R"({"probe":1})"));
    ++probes;
    line = tool.ReadLine(50ms);
  }
  ASSERT_EQ(line, R"({ "kelvora.report": {"probe":1} })");
  ASSERT_EQ(got.Wait(probes).size(), static_cast<size_t>(probes));

  constexpr int kThreads = 4, kEach = 40;
  std::vector<std::thread> senders;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([t, &failures] {
      for (int n = 0; n < kEach; ++n) {
        const std::string json = R"({"t":)" + std::to_string(t) + R"(,"n":)" + std::to_string(n) + "}";
        if (!Send("kelvora.report", json)) ++failures[t];
        ipc::UBUS bus(30);
        std::string reply;
        if (!bus.Call("test", "echo", json, [&](const char* text) { reply = text ? text : ""; }) || reply != json)
          ++failures[t];
      }
    });
  }
  for (auto& s : senders) s.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;

  auto texts = got.Wait(probes + kThreads * kEach);
  ASSERT_EQ(texts.size(), static_cast<size_t>(probes + kThreads * kEach));
  texts.erase(texts.begin(), texts.begin() + probes);
  std::vector<std::string> printed;
  while (printed.size() < static_cast<size_t>(kThreads * kEach)) {
    std::string text = tool.ReadLine();
    if (text.empty()) break;
    if (text.find("probe") == std::string::npos) printed.push_back(text);
  }
  ASSERT_EQ(printed.size(), static_cast<size_t>(kThreads * kEach));

  std::map<int, int> next, next_printed;
  for (size_t i = 0; i < texts.size(); ++i) {
    int t = -1, n = -1;
    ASSERT_EQ(sscanf(texts[i].c_str(), R"({"t":%d,"n":%d})", &t, &n), 2) << texts[i];
    EXPECT_EQ(n, next[t]++) << "events of one sender arrive in order";
    ASSERT_EQ(sscanf(printed[i].c_str(), R"({ "kelvora.report": {"t":%d,"n":%d} })", &t, &n), 2) << printed[i];
    EXPECT_EQ(n, next_printed[t]++);
  }
}

TEST_F(Wrapper, EverythingFailsCleanlyWithoutABusDaemon) {
  const std::string away = std::string(kSocket) + ".away";
  ASSERT_EQ(rename(kSocket, away.c_str()), 0);
  {
    Listener listener;
    EXPECT_FALSE(listener.connected());
    EXPECT_FALSE(listener.Event("kelvora.report", "{}"));
    EXPECT_FALSE(listener.Call("test", "echo", "{}", nullptr));
    EXPECT_FALSE(listener.RegisterEventHandler("kelvora.report", [](const char*) {}));
    listener.UnregisterEventHandler("kelvora.report");
    listener.ServerStart();
    EXPECT_FALSE(listener.running());
    listener.ServerStop();
  }
  ASSERT_EQ(rename(away.c_str(), kSocket), 0);
  EXPECT_EQ(Records(), (std::vector<std::string>{"lookup_id", "Register FailedConnection failed"}));
}

TEST_F(Wrapper, ALostBusDaemonLeavesTheListenerStoppable) {
  // A daemon of this test's own on the default path, the sandbox's set aside.
  const std::string away = std::string(kSocket) + ".away";
  ASSERT_EQ(rename(kSocket, away.c_str()), 0);
  {
    Child daemon(std::vector<std::string>{ubustest::UbusdProgram(), "-s", kSocket});
    ASSERT_TRUE(ubustest::WaitUntil([] { return access(kSocket, F_OK) == 0; }));
    std::this_thread::sleep_for(20ms);
    Listener listener;
    Inbox inbox;
    ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", inbox.Handler()));
    listener.ServerStart();
    ASSERT_TRUE(Send("kelvora.report", "{}"));
    EXPECT_EQ(inbox.Wait(1).size(), 1u);

    daemon.Stop(SIGKILL);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(listener.Event("kelvora.report", "{}"));
    EXPECT_TRUE(listener.running());
    listener.ServerStop();
    EXPECT_FALSE(listener.running());
  }
  unlink(kSocket);
  ASSERT_EQ(rename(away.c_str(), kSocket), 0);
}

// Every double as sent, in the shortest text that reads back to it; whole
// numbers keep ".0"; integers are untouched.
const char* const kExactValues =
    R"({"f":0.10000000149011612,"e":1.5e-7,"big":1e300,"nz":-0.0,"fmax":3.4028234663852886e+38,)"
    R"("sub":1.401298464324817e-45,"w":25.0,"a":[0.5,-2.5e-300],"i":0,"imin":-2147483648,"u":4294967295})";
const char* const kExactRendered =
    R"({"f":0.10000000149011612,"e":1.5e-07,"big":1e+300,"nz":-0.0,"fmax":3.4028234663852886e+38,)"
    R"("sub":1.401298464324817e-45,"w":25.0,"a":[0.5,-2.5e-300],"i":0,"imin":-2147483648,"u":4294967295})";

// The doubles of kExactValues, bit for bit, as a reader gets them back.
void ExpectSameDoubles(const std::string& text) {
  const double expected[] = {static_cast<double>(0.1f), 1.5e-7, 1e300, -0.0, static_cast<double>(FLT_MAX),
                             static_cast<double>(FLT_TRUE_MIN), 25.0};
  const char* names[] = {"\"f\":", "\"e\":", "\"big\":", "\"nz\":", "\"fmax\":", "\"sub\":", "\"w\":"};
  for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); ++i) {
    const size_t at = text.find(names[i]);
    ASSERT_NE(at, std::string::npos) << names[i];
    const double got = strtod(text.c_str() + at + strlen(names[i]), nullptr);
    EXPECT_EQ(memcmp(&got, &expected[i], sizeof(got)), 0) << names[i] << " read back as " << got;
  }
}

TEST_F(Wrapper, NumbersArriveExactlyThroughEventsAndCallReplies) {
  Listener listener;
  Inbox events, replies;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", events.Handler()));
  listener.ServerStart();

  ASSERT_TRUE(Send("kelvora.report", kExactValues));
  ipc::UBUS bus(30);
  ASSERT_TRUE(bus.Call("test", "echo", kExactValues, replies.Handler()));
  // Doubles that JSON cannot carry, in a reply and in an event.
  ASSERT_TRUE(bus.Call("test", "nonfinite", "", replies.Handler()));
  {
    ubus_context* raw = ubus_connect(nullptr);
    ASSERT_NE(raw, nullptr);
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_double(&b, "inf", INFINITY);
    blobmsg_add_double(&b, "nan", NAN);
    blobmsg_add_u32(&b, "n", 7);
    EXPECT_EQ(ubus_send_event(raw, "kelvora.report", b.head), 0);
    blob_buf_free(&b);
    ubus_free(raw);
  }

  const auto got = events.Wait(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], kExactRendered);
  ExpectSameDoubles(got[0]);
  EXPECT_EQ(got[1], R"({"inf":null,"nan":null,"n":7})");
  EXPECT_EQ(replies.Now(), (std::vector<std::string>{kExactRendered, R"({"inf":null,"ninf":null,"nan":null,"a":[null]})"}));
  ExpectSameDoubles(replies.Now().at(0));
}

// A bus daemon of the test's own on the default path, the sandbox's one set
// aside meanwhile, that can be killed and started again.
class OwnBus {
 public:
  OwnBus() : away_(std::string(kSocket) + ".away") {
    set_aside_ = rename(kSocket, away_.c_str()) == 0;
    Start();
  }
  ~OwnBus() {
    daemon_.reset();
    unlink(kSocket);
    if (set_aside_) rename(away_.c_str(), kSocket);
  }
  bool Start() {
    unlink(kSocket);
    daemon_ = std::make_unique<Child>(std::vector<std::string>{ubustest::UbusdProgram(), "-s", kSocket});
    return ubustest::WaitUntil([] { return access(kSocket, F_OK) == 0; });
  }
  Child* daemon() { return daemon_.get(); }

 private:
  std::string away_;
  bool set_aside_ = false;
  std::unique_ptr<Child> daemon_;
};

// Stands on the bus socket while the daemon is away: accepts every
// connection and hangs up at once, counting them.
class HangUpSocket {
 public:
  HangUpSocket() {
    unlink(kSocket);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, kSocket, sizeof(addr.sun_path) - 1);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd_, 16) == 0;
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, 10) <= 0) continue;
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) continue;
        ++accepted_;
        close(client);
      }
    });
  }
  ~HangUpSocket() {
    stop_ = true;
    thread_.join();
    close(fd_);
    unlink(kSocket);
  }
  bool ok() const { return ok_; }
  unsigned accepted() const { return accepted_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> accepted_{0};
  std::thread thread_;
};

size_t CountOf(const std::vector<std::string>& records, const std::string& text) {
  return static_cast<size_t>(std::count(records.begin(), records.end(), text));
}

TEST_F(Wrapper, ListenerReconnectsPacedAndResubscribesAfterTheBusDaemonRestarts) {
  OwnBus bus;
  ASSERT_NE(bus.daemon(), nullptr);
  std::this_thread::sleep_for(20ms);
  Listener listener;
  Inbox report, websocket;
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.report", report.Handler()));
  ASSERT_TRUE(listener.RegisterEventHandler("kelvora.websocket", websocket.Handler()));
  listener.ServerStart();
  ASSERT_TRUE(Send("kelvora.report", R"({"n":1})"));
  ASSERT_EQ(report.Wait(1).size(), 1u);
  EXPECT_TRUE(ipc::ListenerSettled(0ms));

  bus.daemon()->Stop(SIGKILL);
  ASSERT_TRUE(ubustest::WaitUntil([&] { return !listener.Connected(); }));
  EXPECT_TRUE(listener.running());
  EXPECT_FALSE(ipc::ListenerSettled(0ms));

  // While away, everything fails at once: the listener's own connection and
  // the short-lived ones the daemons use.
  {
    HangUpSocket away;
    ASSERT_TRUE(away.ok());
    const unsigned before = listener.attempts();
    EXPECT_FALSE(listener.Event("kelvora.report", "{}"));
    EXPECT_FALSE(listener.Call("uci", "get", "{}", nullptr));
    EXPECT_FALSE(Send("kelvora.report", "{}"));
    ipc::UBUS caller(30);
    EXPECT_FALSE(caller.Call("uci", "get", R"({"config":"tavrin"})", nullptr));
    EXPECT_FALSE(listener.RegisterEventHandler("kelvora.other", nullptr));

    // Over three seconds the pause grows from 100 ms: attempts at about
    // 0.1, 0.3, 0.7, 1.5 s and so on, not a busy loop.
    std::this_thread::sleep_for(3s);
    const unsigned tried = listener.attempts() - before;
    std::cout << "reconnect attempts while away: " << tried << " in 3 s (" << away.accepted()
              << " reached the socket)" << std::endl;
    EXPECT_GE(tried, 2u);
    EXPECT_LE(tried, 8u);
    // Two of the connections were the test's own sender and caller.
    EXPECT_LE(away.accepted(), tried + 3);
    EXPECT_TRUE(report.Now().size() == 1u && websocket.Now().empty());
  }

  // Back: both subscriptions are made again and events flow.
  ASSERT_TRUE(bus.Start());
  const auto back = std::chrono::steady_clock::now();
  bool delivered = false;
  for (int i = 0; i < 500 && !delivered; ++i) {
    Send("kelvora.websocket", R"({"n":2})");
    delivered = websocket.Wait(1, 10ms).size() == 1;
  }
  ASSERT_TRUE(delivered);
  std::cout << "first event delivered "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - back).count()
            << " ms after the bus daemon's return" << std::endl;
  ASSERT_TRUE(Send("kelvora.report", R"({"n":3})"));
  EXPECT_EQ(report.Wait(2), (std::vector<std::string>{R"({"n":1})", R"({"n":3})"}));
  EXPECT_TRUE(listener.Connected());
  EXPECT_TRUE(ipc::ListenerSettled(0ms));
  EXPECT_FALSE(ipc::ListenerSettled(1h));

  const auto records = Records();
  EXPECT_EQ(CountOf(records, "Lost the bus connection, reconnecting"), 1u);
  EXPECT_EQ(CountOf(records, "Bus connection restored"), 1u);
  EXPECT_EQ(CountOf(records, "lookup_id"), 2u);
  EXPECT_EQ(CountOf(records, "Register FailedConnection failed"), 1u);
  EXPECT_EQ(records.size(), 5u);

  // A second outage is noticed and logged the same way.
  bus.daemon()->Stop(SIGKILL);
  ASSERT_TRUE(ubustest::WaitUntil([&] { return !listener.Connected(); }));
  ASSERT_TRUE(bus.Start());
  ASSERT_TRUE(ubustest::WaitUntil([&] { return listener.Connected(); }));
  ASSERT_TRUE(Send("kelvora.report", R"({"n":4})"));
  EXPECT_EQ(report.Wait(3).size(), 3u);
  EXPECT_EQ(CountOf(Records(), "Bus connection restored"), 2u);

  // Stopping while away ends the pause at once.
  bus.daemon()->Stop(SIGKILL);
  ASSERT_TRUE(ubustest::WaitUntil([&] { return !listener.Connected(); }));
  std::this_thread::sleep_for(200ms);
  listener.ServerStop();
  EXPECT_FALSE(listener.running());
  EXPECT_TRUE(ipc::ListenerSettled(0ms));
}

// What `ubus -S call OBJECT METHOD` prints: a call from another process, as
// an operator's would be (a call from this process would wait for the bus
// lock that the server thread needs to answer it).
std::string CallWithTool(const std::string& object, const std::string& method) {
  Child tool(std::vector<std::string>{ubustest::ToolProgram(), "-S", "call", object, method});
  std::string out;
  for (std::string line = tool.ReadLine(3s); !line.empty(); line = tool.ReadLine(3s)) out += line;
  return out;
}

TEST_F(Wrapper, PublishedObjectsAnswerTheirMethodsAndComeBackAfterABusRestart) {
  OwnBus bus;
  ASSERT_NE(bus.daemon(), nullptr);
  std::this_thread::sleep_for(20ms);
  Listener listener;
  std::atomic<int> calls{0};
  ASSERT_TRUE(listener.AddObject(
      "kelvora.test", {{"status", [&] { return R"({"calls":)" + std::to_string(++calls) + R"(,"ok":true})"; }},
                       {"broken", [] { return std::string("not json"); }}}));
  listener.ServerStart();

  EXPECT_EQ(CallWithTool("kelvora.test", "status"), R"({"calls":1,"ok":true})");
  EXPECT_EQ(CallWithTool("kelvora.test", "status"), R"({"calls":2,"ok":true})");
  // A reply that is not a JSON object is an error, not an empty success.
  EXPECT_EQ(CallWithTool("kelvora.test", "broken"), "");
  EXPECT_EQ(CallWithTool("kelvora.test", "other"), "");
  EXPECT_EQ(calls, 2);

  bus.daemon()->Stop(SIGKILL);
  ASSERT_TRUE(ubustest::WaitUntil([&] { return !listener.Connected(); }));
  ASSERT_TRUE(bus.Start());
  ASSERT_TRUE(ubustest::WaitUntil([&] { return listener.Connected(); }));
  EXPECT_EQ(CallWithTool("kelvora.test", "status"), R"({"calls":3,"ok":true})");
  listener.ServerStop();
}

}  // namespace
