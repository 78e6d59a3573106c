#include "harness.h"

#include "mailbox/mailbox.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitLogging();
  return 0;
}

namespace fuzz {

mailbox::Mailbox& DaemonQueue() {
  static mailbox::Mailbox box;
  return box;
}

}  // namespace fuzz
