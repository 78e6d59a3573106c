// The daemon's mailbox. Compiled into each program that links the BLE core
// (an interface source of kelvora_ble_core), so that the common library's
// Post finds its mailbox regardless of the static link order.
#include "manager/messages.h"

queue::ThreadSafeQueue<mailbox::Message> g_messageQueue;

mailbox::Mailbox& mailbox::DaemonMailbox() { return g_messageQueue; }
