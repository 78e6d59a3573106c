// The mailbox a report or MQTT daemon's main.cpp defines, for harnesses of
// those daemons' libraries.
#include "harness.h"

mailbox::Mailbox& mailbox::DaemonMailbox() { return fuzz::DaemonQueue(); }
