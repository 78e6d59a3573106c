// gtest main for tests that need their own bus: a private namespace with a
// fresh ubusd on the default socket path.
#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (!testsupport::EnterPrivateSandbox()) return 1;
  auto ubusd = testsupport::StartUbusd();
  const int result = RUN_ALL_TESTS();
  ubusd.reset();
  return result;
}
