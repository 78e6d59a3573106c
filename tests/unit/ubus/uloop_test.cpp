// uloop: timeouts, descriptors, run/run_timeout and the cancel flag, and the
// signal dispositions it takes and gives back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

extern "C" {  // the platform's libubox headers have no C++ guards
#include <libubox/uloop.h>
}

namespace {

class Uloop : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
  void TearDown() override { uloop_done(); }
};

struct Tagged {
  uloop_timeout timeout{};
  int tag = 0;
  std::vector<int>* fired = nullptr;
  bool end = false;
};

void RecordTag(uloop_timeout* t) {
  auto* self = reinterpret_cast<Tagged*>(t);
  self->fired->push_back(self->tag);
  if (self->end) uloop_end();
}

TEST_F(Uloop, TimeoutsFireInDeadlineOrderAndEndTheRunWhenAsked) {
  std::vector<int> fired;
  Tagged a, b, c, late;
  for (auto* t : {&a, &b, &c, &late}) {
    t->timeout.cb = RecordTag;
    t->fired = &fired;
  }
  a.tag = 1;
  b.tag = 2;
  c.tag = 3;
  c.end = true;
  late.tag = 4;
  uloop_timeout_set(&a.timeout, 20);
  uloop_timeout_set(&b.timeout, 5);
  uloop_timeout_set(&c.timeout, 40);
  uloop_timeout_set(&late.timeout, 60000);
  EXPECT_EQ(uloop_run(), 0);
  EXPECT_EQ(fired, (std::vector<int>{2, 1, 3}));
  EXPECT_TRUE(late.timeout.pending);
  EXPECT_GT(uloop_timeout_remaining64(&late.timeout), 50000);
  EXPECT_EQ(uloop_timeout_cancel(&late.timeout), 0);
  EXPECT_FALSE(late.timeout.pending);
  EXPECT_EQ(uloop_timeout_cancel(&late.timeout), -1);
  EXPECT_EQ(uloop_timeout_remaining64(&late.timeout), -1);
  EXPECT_EQ(uloop_get_next_timeout(), -1);
}

TEST_F(Uloop, RunTimeoutMakesOnePassAndClearsTheCancelFlagOnEntry) {
  std::vector<int> fired;
  Tagged later;
  later.timeout.cb = RecordTag;
  later.fired = &fired;
  uloop_timeout_set(&later.timeout, 60000);

  uloop_cancelled = true;
  EXPECT_EQ(uloop_run_timeout(5), 0);  // returns after one bounded wait
  EXPECT_FALSE(uloop_cancelled);       // the flag set before the call was wiped
  EXPECT_TRUE(fired.empty());
  uloop_timeout_cancel(&later.timeout);

  // A due timeout runs within the pass.
  static bool cancelling_seen;
  cancelling_seen = true;
  uloop_timeout now{};
  now.cb = [](uloop_timeout*) {
    cancelling_seen = uloop_cancelling();
    uloop_end();
  };
  uloop_timeout_set(&now, 0);
  uloop_run_timeout(1000);
  EXPECT_FALSE(cancelling_seen);
  EXPECT_FALSE(now.pending);
}

struct Reader {
  uloop_fd fd{};
  int calls = 0;
  unsigned int events = 0;
};

void ReadOne(uloop_fd* u, unsigned int events) {
  auto* self = reinterpret_cast<Reader*>(u);
  char byte;
  ++self->calls;
  self->events = events;
  while (read(u->fd, &byte, 1) == 1) {
  }
}

TEST_F(Uloop, DescriptorsReportReadsUntilDeleted) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Reader reader;
  reader.fd.fd = p[0];
  reader.fd.cb = ReadOne;
  ASSERT_EQ(uloop_fd_add(&reader.fd, ULOOP_READ), 0);
  EXPECT_TRUE(reader.fd.registered);
  EXPECT_TRUE(fcntl(p[0], F_GETFL) & O_NONBLOCK);

  ASSERT_EQ(write(p[1], "x", 1), 1);
  uloop_run_timeout(1000);
  EXPECT_EQ(reader.calls, 1);
  EXPECT_EQ(reader.events & ULOOP_EVENT_MASK, static_cast<unsigned int>(ULOOP_READ));

  ASSERT_EQ(uloop_fd_delete(&reader.fd), 0);
  EXPECT_FALSE(reader.fd.registered);
  ASSERT_EQ(write(p[1], "y", 1), 1);
  uloop_run_timeout(20);
  EXPECT_EQ(reader.calls, 1);

  // A hang-up marks the descriptor as failed and removes it.
  ASSERT_EQ(uloop_fd_add(&reader.fd, ULOOP_READ), 0);
  close(p[1]);
  uloop_run_timeout(1000);
  EXPECT_EQ(reader.calls, 2);
  EXPECT_TRUE(reader.fd.error);
  EXPECT_FALSE(reader.fd.registered);
  close(p[0]);
}

TEST_F(Uloop, PeerShutdownShowsAsEndOfFile) {
  int s[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
  Reader reader;
  reader.fd.fd = s[0];
  reader.fd.cb = ReadOne;
  ASSERT_EQ(uloop_fd_add(&reader.fd, ULOOP_READ), 0);
  shutdown(s[1], SHUT_WR);
  uloop_run_timeout(1000);
  EXPECT_EQ(reader.calls, 1);
  EXPECT_TRUE(reader.fd.eof);
  EXPECT_TRUE(reader.fd.registered);
  uloop_fd_delete(&reader.fd);
  close(s[0]);
  close(s[1]);
}

TEST_F(Uloop, BlockingFlagLeavesTheDescriptorBlocking) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Reader reader;
  reader.fd.fd = p[0];
  reader.fd.cb = ReadOne;
  ASSERT_EQ(uloop_fd_add(&reader.fd, ULOOP_READ | ULOOP_BLOCKING), 0);
  EXPECT_FALSE(fcntl(p[0], F_GETFL) & O_NONBLOCK);
  uloop_fd_delete(&reader.fd);
  close(p[0]);
  close(p[1]);
}

// Runs `body` in a child process (signal dispositions are process-wide) and
// returns its exit code.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

bool IsDefault(int signo) {
  struct sigaction sa {};
  sigaction(signo, nullptr, &sa);
  return sa.sa_handler == SIG_DFL;
}

void Custom(int) {}

TEST(UloopSignals, InitTakesDefaultSignalsAndDoneGivesBackTheTerminationOnes) {
  const int code = InChild([] {
    signal(SIGINT, Custom);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    uloop_init();
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    if (sa.sa_handler != SIG_IGN) return 2;
    if (IsDefault(SIGTERM)) return 3;
    sigaction(SIGINT, nullptr, &sa);
    if (sa.sa_handler != Custom) return 4;  // a handler of the program stays
    uloop_done();
    if (!IsDefault(SIGTERM)) return 5;
    sigaction(SIGPIPE, nullptr, &sa);
    if (sa.sa_handler != SIG_IGN) return 7;  // the platform leaves SIGPIPE ignored
    sigaction(SIGINT, nullptr, &sa);
    if (sa.sa_handler != Custom) return 6;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST(UloopSignals, TerminationSignalFromAnotherThreadEndsAnIdleRun) {
  const int code = InChild([] {
    uloop_init();
    std::thread sender([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      kill(getpid(), SIGTERM);
    });
    const int result = uloop_run();  // nothing to wait for but the signal
    sender.join();
    uloop_done();
    return result == SIGTERM ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
