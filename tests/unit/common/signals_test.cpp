#include <gtest/gtest.h>
#include <signal.h>
#include <sched.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "log/crash.h"
#include "log/log.h"
#include "loop/main_loop.h"
#include "loop/signals.h"

namespace fs = std::filesystem;

namespace {

// A program without a dynamic loader (linked statically, as the musl
// target's tests are) has no symbol table that dladdr could name frames
// from: its traces give addresses and modules only.
bool FramesCanBeNamed() { return getauxval(AT_BASE) != 0; }


std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path TempLog(const char* name) {
  fs::path path = fs::temp_directory_path() / (std::string("kelvora-sig-") + std::to_string(getpid()) + name);
  fs::remove(path);
  return path;
}

// Runs a daemon-like main in a child: handlers, logger, idle loop; after the
// stop it writes one more record and exits 0.
pid_t StartIdleChild(const fs::path& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    logging::InstallSignalHandlers();
    logging::InitFileLogger(log.string(), logging::Severity::verbose);
    std::atomic<bool> running{true};
    LOG_INFO << "ready";
    logging::IdleLoop(running, [] { LOG_INFO << "stopping"; });
    LOG_INFO << "left main loop";
    _exit(0);
  }
  return pid;
}

bool WaitForText(const fs::path& log, const std::string& text) {
  for (int i = 0; i < 500; ++i) {
    if (ReadFile(log).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, LogsTwoRecordsAndLeavesMainWithStatusZero) {
  const int signal_number = GetParam();
  const fs::path log = TempLog(signal_number == SIGTERM ? "term" : "int");
  const pid_t pid = StartIdleChild(log);
  ASSERT_TRUE(WaitForText(log, "] ready"));
  ASSERT_EQ(kill(pid, signal_number), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::string text = ReadFile(log);
  const std::string catch_line = "ERROR [" + std::to_string(pid) + "] [logging::LogStopSignal@";
  const size_t signal_at = text.find("] Signal Catch : " + std::to_string(signal_number) + "\n");
  const size_t terminate_at = text.find("] Terminate program..\n");
  const size_t stop_at = text.find("] stopping\n");
  const size_t left_at = text.find("] left main loop\n");
  ASSERT_NE(signal_at, std::string::npos) << text;
  ASSERT_NE(terminate_at, std::string::npos) << text;
  EXPECT_LT(signal_at, terminate_at);
  EXPECT_LT(terminate_at, stop_at);
  EXPECT_LT(stop_at, left_at);
  // Written by the main thread, not in signal context.
  EXPECT_NE(text.find(catch_line), std::string::npos) << text;
  // No stack trace for a stop signal.
  EXPECT_EQ(text.find(" in "), std::string::npos) << text;
  fs::remove(log);
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, StopSignal, ::testing::Values(SIGTERM, SIGINT));

__attribute__((noinline)) void CrashingWorkerFunction() {
  raise(SIGSEGV);
  LOG_INFO << "returned into the fault";
}

// The next start of a daemon: its logger, then the trace of the last crash.
bool RestartAndRenderTrace(const fs::path& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    logging::InitFileLogger(log.string(), logging::Severity::verbose);
    const bool rendered = logging::LogPreviousCrash();
    logging::Shutdown();
    _exit(rendered ? 0 : 1);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(CrashSignal, SegvInWorkerEndsBySegvAndTraceFollowsAtNextStart) {
  const fs::path log = TempLog("segv.log");
  const fs::path dump = logging::CrashDumpPath(log.string());
  fs::remove(dump);
  const pid_t pid = fork();
  if (pid == 0) {
    logging::InstallSignalHandlers();
    logging::InitFileLogger(log.string(), logging::Severity::verbose);
    std::thread worker([] { CrashingWorkerFunction(); });
    worker.join();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  ASSERT_TRUE(fs::exists(dump));
  const std::string crashed = ReadFile(log);
  // The records come from the faulting thread, not the main one.
  EXPECT_EQ(crashed.find("[" + std::to_string(pid) + "] [logging::"), std::string::npos) << crashed;
  EXPECT_NE(crashed.find("ERROR ["), std::string::npos) << crashed;

  ASSERT_TRUE(RestartAndRenderTrace(log));
  EXPECT_FALSE(fs::exists(dump));
  const std::string text = ReadFile(log);
  const size_t signal_at = text.find("] Signal Catch : 11\n");
  const size_t terminate_at = text.find("] Terminate program..\n");
  const size_t trace_at = text.find(FramesCanBeNamed() ? "CrashingWorkerFunction" : " 0# ");
  ASSERT_NE(signal_at, std::string::npos) << text;
  ASSERT_NE(terminate_at, std::string::npos) << text;
  ASSERT_NE(trace_at, std::string::npos) << text;
  EXPECT_LT(signal_at, terminate_at);
  EXPECT_LT(terminate_at, trace_at);
  EXPECT_NE(text.find("ERROR [", terminate_at), std::string::npos);
  EXPECT_EQ(text.find("returned into the fault"), std::string::npos);
  // Rendered once: a second start finds no dump.
  EXPECT_FALSE(RestartAndRenderTrace(log));
  fs::remove(log);
}

// In a procd jail the daemon is the first process of its PID namespace,
// which drops the default-action signal it raises itself: the crash must
// still end it.
TEST(CrashSignal, SegvEndsTheFirstProcessOfAPidNamespaceToo) {
  // qemu-user takes the default action itself (it kills itself, which the
  // namespace drops, and waits): nothing of the program's to see there.
  const char* emulator = getenv("KELVORA_RUN_PREFIX");
  if (emulator && *emulator) GTEST_SKIP() << "under " << emulator;
  const fs::path log = TempLog("pid1.log");
  const pid_t outer = fork();
  if (outer == 0) {
    if (unshare(CLONE_NEWPID) != 0) _exit(77);  // needs root; not a fault of ours
    const pid_t first = fork();
    if (first == 0) {
      logging::InstallSignalHandlers();
      logging::InitFileLogger(log.string(), logging::Severity::verbose);
      raise(SIGSEGV);
      _exit(0);
    }
    int status = 0;
    // Give up on a process that the crash left running.
    for (int i = 0; i < 500 && waitpid(first, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(first, &status, WNOHANG) == 0) {
      kill(first, SIGKILL);
      waitpid(first, &status, 0);
      _exit(1);
    }
    _exit(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGSEGV ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(outer, &status, 0), outer);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no new PID namespace without root";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: still running after the crash, 2: ended otherwise";
  EXPECT_NE(ReadFile(log).find("] Terminate program..\n"), std::string::npos);
  fs::remove(log);
  fs::remove(logging::CrashDumpPath(log.string()));
}

TEST(CrashSignal, AbortEndsByAbortAndTraceFollowsAtNextStart) {
  const fs::path log = TempLog("abrt.log");
  const pid_t pid = fork();
  if (pid == 0) {
    logging::InstallSignalHandlers();
    logging::InitFileLogger(log.string(), logging::Severity::verbose);
    abort();
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  ASSERT_TRUE(RestartAndRenderTrace(log));
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find("] Signal Catch : 6\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] Terminate program..\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 0# "), std::string::npos) << text;
  if (FramesCanBeNamed()) {
    EXPECT_NE(text.find("abort"), std::string::npos) << text;
  }
  fs::remove(log);
}

}  // namespace
