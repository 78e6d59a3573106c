// gtest main of the report tests: a private mount and network namespace, and
// a resolver that asks only 127.0.0.1, so uploads and name look-ups never
// leave the test.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "mailbox/mailbox.h"
#include "sandbox.h"

namespace {
mailbox::Mailbox g_mailbox;
}

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_mailbox; }

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (!testsupport::EnterPrivateSandbox()) return 1;
  char resolv[] = "/tmp/kelvora-resolv-XXXXXX";
  const int fd = mkstemp(resolv);
  if (fd < 0) return 1;
  close(fd);
  std::ofstream(resolv) << "nameserver 127.0.0.1\n";
  char target[PATH_MAX];
  if (realpath("/etc/resolv.conf", target) == nullptr ||
      mount(resolv, target, nullptr, MS_BIND, nullptr) != 0) {
    perror("resolv.conf");
    unlink(resolv);
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  umount(target);
  unlink(resolv);
  return result;
}
