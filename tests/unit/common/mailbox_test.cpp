#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "mailbox/mailbox.h"
#include "queue/thread_safe_queue.h"

namespace {
mailbox::Mailbox g_box;
}
mailbox::Mailbox& mailbox::DaemonMailbox() { return g_box; }

namespace {

TEST(ThreadSafeQueue, PopOnEmptyGivesDefaultValue) {
  mailbox::Mailbox box;
  EXPECT_TRUE(box.Empty());
  const mailbox::Message message = box.Pop();
  EXPECT_EQ(message.type, 0u);
  EXPECT_EQ(message.data, nullptr);

  queue::ThreadSafeQueue<std::string> texts;
  texts.Push("a");
  EXPECT_FALSE(texts.Empty());
  EXPECT_EQ(texts.Pop(), "a");
  EXPECT_EQ(texts.Pop(), "");
}

TEST(Mailbox, PostChecksTheCodeRange) {
  mailbox::Mailbox box;
  int payload = 7;
  for (uint32_t bad : {0x0u, 0x1FFFu, 0x3000u, 0xFFFFFFFFu}) {
    try {
      mailbox::Post(box, mailbox::Message(bad, &payload));
      FAIL() << "accepted " << std::hex << bad;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Message Type is Wrong");
    }
  }
  EXPECT_TRUE(box.Empty());

  mailbox::Post(box, mailbox::Message(0x2000, &payload));
  mailbox::Post(box, mailbox::Message(0x2FFF, nullptr));
  mailbox::Message first = box.Pop();
  EXPECT_EQ(first.type, 0x2000u);
  EXPECT_EQ(first.data, &payload);
  EXPECT_EQ(box.Pop().type, 0x2FFFu);
  EXPECT_TRUE(box.Empty());
}

TEST(Mailbox, PostWithoutBoxGoesToTheDaemonMailbox) {
  mailbox::Post(mailbox::Message(0x2001, nullptr));
  EXPECT_EQ(g_box.Pop().type, 0x2001u);
}

TEST(Mailbox, KeepsOrderPerProducerUnderConcurrentProducers) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  mailbox::Mailbox box;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&box, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        mailbox::Post(box, mailbox::Message(0x2000 + p, new int(i)));
      }
    });
  }
  std::vector<int> next(kProducers, 0);
  int received = 0;
  while (received < kProducers * kPerProducer) {
    if (box.Empty()) {
      std::this_thread::yield();
      continue;
    }
    mailbox::Message message = box.Pop();
    if (message.type == 0) continue;
    const int producer = static_cast<int>(message.type - 0x2000);
    int* value = static_cast<int*>(message.data);
    EXPECT_EQ(*value, next[producer]) << "producer " << producer;
    next[producer] = *value + 1;
    delete value;
    ++received;
  }
  for (auto& t : producers) t.join();
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer);
  EXPECT_TRUE(box.Empty());
}

}  // namespace
