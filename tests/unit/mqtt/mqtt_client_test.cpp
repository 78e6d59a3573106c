#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "log_capture.h"
#include "mqtt_client.h"
#include "sandbox.h"
#include "threads.h"

namespace {

using namespace std::chrono_literals;

constexpr int kPort = 18830;

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A broker on 127.0.0.1:kPort inside the test's private network namespace.
std::unique_ptr<testsupport::Process> StartBroker() {
  const std::string conf = "/var/run/mosquitto.conf";
  std::ofstream(conf) << "listener " << kPort << " 127.0.0.1\n"
                      << "allow_anonymous true\n"
                      << "persistence false\n"
                      << "log_dest none\n";
  auto broker = std::make_unique<testsupport::Process>(
      std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf});
  if (!WaitUntil([] { return Listening(kPort); })) ADD_FAILURE() << "broker did not start";
  return broker;
}

// Records what arrives on "kelvora/#".
class Subscriber : public mosqpp::mosquittopp {
 public:
  struct Received {
    std::string topic;
    std::string payload;
    int qos;
    bool retain;
  };

  Subscriber() : mosqpp::mosquittopp("test-subscriber", true) {
    loop_start();
    connect_async("127.0.0.1", kPort, 60);
  }
  ~Subscriber() override {
    disconnect();
    loop_stop(false);
  }
  bool WaitSubscribed() {
    return WaitUntil([this] { return subscribed_.load(); });
  }
  std::vector<Received> Messages() {
    std::lock_guard<std::mutex> lock(lock_);
    return received_;
  }

 private:
  void on_connect(int rc) override {
    if (rc == 0) subscribe(nullptr, "kelvora/#", 0);
  }
  void on_subscribe(int, int, const int*) override { subscribed_ = true; }
  void on_message(const mosquitto_message* message) override {
    std::lock_guard<std::mutex> lock(lock_);
    received_.push_back({message->topic,
                         std::string(static_cast<const char*>(message->payload),
                                     static_cast<size_t>(message->payloadlen)),
                         message->qos, message->retain});
  }

  std::atomic<bool> subscribed_{false};
  std::mutex lock_;
  std::vector<Received> received_;
};

using MqttClient = testsupport::LogFixture;

bool Has(const std::vector<std::string>& messages, const std::string& text) {
  return std::find(messages.begin(), messages.end(), text) != messages.end();
}

TEST(MqttRetryDelay, DoublesPerRefusalUpToTheCap) {
  const std::vector<unsigned> expected = {1, 2, 4, 8, 16, 32, 60, 60};
  for (unsigned refusals = 1; refusals <= expected.size(); ++refusals) {
    EXPECT_EQ(MQTT::RetryDelay(refusals), expected[refusals - 1]) << refusals;
  }
  EXPECT_EQ(MQTT::RetryDelay(0), MQTT::kFirstRetryDelay);
  EXPECT_EQ(MQTT::RetryDelay(40), MQTT::kMaxRetryDelay);
  EXPECT_EQ(MQTT::RetryDelay(UINT_MAX), MQTT::kMaxRetryDelay);
}

TEST_F(MqttClient, PublishWithoutConnectionFailsQuietly) {
  MQTT client;
  ASSERT_TRUE(client.Init());
  EXPECT_FALSE(client.Publish("kelvora/A/T", R"({"ts":1})", 0));
  client.Deinit();
  EXPECT_TRUE(Messages().empty());
}

TEST_F(MqttClient, ConnectThatCannotStartIsAnError) {
  MQTT client;
  ASSERT_TRUE(client.Init());
  EXPECT_FALSE(client.Connect("127.0.0.1", -1));
  client.Deinit();
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "127.0.0.1 -1");
  EXPECT_EQ(messages[1], std::string("MQTT Connect Error : ") + mosquitto_strerror(MOSQ_ERR_INVAL));
}

TEST_F(MqttClient, PublishesExactPayloadsWithQos0NotRetained) {
  const auto broker = StartBroker();
  Subscriber subscriber;
  ASSERT_TRUE(subscriber.WaitSubscribed());

  MQTT client;
  ASSERT_TRUE(client.Init());
  ASSERT_TRUE(client.Connect("127.0.0.1", kPort));
  ASSERT_TRUE(WaitUntil([&] { return Has(Messages(), "Connection Success"); }));

  // Lengths are exact: an empty payload and one with an inner NUL byte too.
  const std::string with_nul("a\0b", 3);
  EXPECT_TRUE(client.Publish("kelvora/A1/PM_2_5", R"({"k":"PM_2_5","ts":1700000000,"v":12})", 0));
  EXPECT_TRUE(client.Publish("kelvora/A1/NUL", with_nul, 0));
  EXPECT_TRUE(client.Publish("kelvora/A1/EMPTY", "", 0));
  ASSERT_TRUE(WaitUntil([&] { return subscriber.Messages().size() == 3; }));
  const auto received = subscriber.Messages();
  EXPECT_EQ(received[0].topic, "kelvora/A1/PM_2_5");
  EXPECT_EQ(received[0].payload, R"({"k":"PM_2_5","ts":1700000000,"v":12})");
  EXPECT_EQ(received[1].payload, with_nul);
  EXPECT_EQ(received[2].payload, "");
  for (const auto& message : received) {
    EXPECT_EQ(message.qos, 0);
    EXPECT_FALSE(message.retain);
  }

  // A wildcard is no topic to publish to; the library refuses it.
  EXPECT_FALSE(client.Publish("kelvora/+/T", "{}", 0));

  ASSERT_TRUE(WaitUntil([&] { return Has(Messages(), "mid : 3"); }));
  client.Disconnect();
  ASSERT_TRUE(WaitUntil([&] { return Has(Messages(), "Disconnected from Host"); }));
  client.Deinit();

  const auto messages = Messages();
  EXPECT_EQ(messages.front(), "127.0.0.1 " + std::to_string(kPort));
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Connection Success"), 1);
  std::vector<std::string> mids;
  std::copy_if(messages.begin(), messages.end(), std::back_inserter(mids),
               [](const std::string& m) { return m.rfind("mid : ", 0) == 0; });
  EXPECT_EQ(mids, (std::vector<std::string>{"mid : 1", "mid : 2", "mid : 3"}));
}

TEST_F(MqttClient, StopWhileConnectedLeavesTheLoggerUsable) {
  const auto broker = StartBroker();
  MQTT client;
  ASSERT_TRUE(client.Init());
  ASSERT_TRUE(client.Connect("127.0.0.1", kPort));
  ASSERT_TRUE(WaitUntil([&] { return Has(Messages(), "Connection Success"); }));
  client.Disconnect();
  client.Deinit();
  // The logger is still usable: no callback was cut off holding its lock.
  LOG_INFO << "after";
  EXPECT_EQ(Messages().back(), "after");
}

using testsupport::ThreadCount;

// The network thread exists only from Connect on, and Deinit joins it, also
// when it is waiting to reconnect to a broker that is not there.
TEST_F(MqttClient, NetworkThreadRunsFromConnectUntilDeinit) {
  // ThreadSanitizer starts a thread of its own with the first thread made.
  std::thread([] {}).join();
  const size_t before = ThreadCount();
  MQTT client;
  ASSERT_TRUE(client.Init());
  EXPECT_EQ(ThreadCount(), before);
  ASSERT_TRUE(client.Connect("127.0.0.1", kPort));
  EXPECT_EQ(ThreadCount(), before + 1);
  std::this_thread::sleep_for(300ms);
  client.Disconnect();
  client.Deinit();
  EXPECT_EQ(testsupport::ThreadCountOnceItIs(before), before);
  EXPECT_FALSE(Has(Messages(), "Connection Success"));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (!testsupport::EnterPrivateSandbox()) return 1;
  return RUN_ALL_TESTS();
}
