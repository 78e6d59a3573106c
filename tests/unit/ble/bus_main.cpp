// gtest main for tests of code whose process-wide ubus objects connect before
// main runs: this program enters a private sandbox, starts ubusd there, and
// runs the tests in a fresh copy of itself, whose static objects then connect
// to that bus.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exec.h"
#include "sandbox.h"

namespace {
constexpr const char* kInside = "KELVORA_BLE_TEST_INSIDE_SANDBOX";
}

// libubox keeps its loop depth and cancel flag in plain globals, which
// ubus_complete_request reads on whichever thread sends an event while the
// listener's loop runs on its own: a property of the platform library, as
// in the daemon, where readings go out while the listener runs.
extern "C" const char* __tsan_default_suppressions() { return "race:uloop_cancelling\n"; }

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests) || getenv(kInside)) return RUN_ALL_TESTS();

  if (!testsupport::EnterPrivateSandbox()) return 1;
  auto ubusd = testsupport::StartUbusd();
  setenv(kInside, "1", 1);

  args[0] = "/proc/self/exe";
  const pid_t child = fork();
  if (child == 0) testsupport::ExecProgram(args);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
