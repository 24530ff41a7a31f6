#include <gtest/gtest.h>
#include <poll.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/notifications/distributed_notifier_linux.h"
#include "platform/notifications/notification_listener_linux.h"
#include "platform/tests/notifications_session_bus.h"

namespace sonarell::notifications {
namespace {

using namespace std::chrono_literals;
using testing::ScopedEnv;
using testing::SessionBus;

// A raw observer that matches on the interface only, so that it sees the path,
// member and arguments exactly as they went over the bus.
struct Observed {
  std::string path, interface, member, signature, argument;
};

class RawObserver {
 public:
  RawObserver() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) return;
    bus_.reset(raw);
    std::string rule = std::string("type='signal',interface='") + kInterface + "'";
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_match(bus_.get(), &slot, rule.c_str(), &RawObserver::onMessage, this) < 0) return;
    slot_.reset(slot);
  }
  bool ok() const { return slot_ != nullptr; }
  sd_bus* bus() const { return bus_.get(); }

  // Runs the connection until `count` signals have arrived or the time is up.
  void waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
      while (sd_bus_process(bus_.get(), nullptr) > 0) {
      }
      if (seen.size() >= count) break;
      sd_bus_wait(bus_.get(), 50000);
    }
  }

  std::vector<Observed> seen;

 private:
  static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<RawObserver*>(userdata);
    Observed o;
    o.path = sd_bus_message_get_path(m) ? sd_bus_message_get_path(m) : "";
    o.interface = sd_bus_message_get_interface(m) ? sd_bus_message_get_interface(m) : "";
    o.member = sd_bus_message_get_member(m) ? sd_bus_message_get_member(m) : "";
    o.signature = sd_bus_message_get_signature(m, 1) ? sd_bus_message_get_signature(m, 1) : "";
    const char* arg = nullptr;
    if (o.signature == "s" && sd_bus_message_read(m, "s", &arg) >= 0 && arg) o.argument = arg;
    self->seen.push_back(o);
    return 0;
  }
  detail::BusHandle bus_;
  detail::SlotHandle slot_;
};

TEST(NotificationsDBus, EachPostIsOneSignalWithTheFixedPathInterfaceMemberAndTheName) {
  SessionBus bus;
  ASSERT_TRUE(bus.running());
  RawObserver observer;
  ASSERT_TRUE(observer.ok());

  DBusNotifier notifier;
  const std::vector<std::string> names = {"com.apple.Carbon.TISNotifyEnabledKeyboardInputSourcesChanged",
                                          "org.quennet.sonarell.show-settings", "名前 with spaces"};
  for (const auto& name : names) notifier.post(name);

  observer.waitForCount(names.size(), 5s);
  // Anything extra would have arrived by the time a further signal does.
  sd_bus_emit_signal(observer.bus(), "/sentinel", kInterface, "Sentinel", "");
  sd_bus_flush(observer.bus());
  observer.waitForCount(names.size() + 1, 5s);

  ASSERT_EQ(observer.seen.size(), names.size() + 1);
  std::vector<std::string> arguments;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const Observed& o = observer.seen[i];
    EXPECT_EQ(o.path, "/org/quennet/sonarell/DistributedNotifications");
    EXPECT_EQ(o.interface, "org.quennet.sonarell.DistributedNotifications");
    EXPECT_EQ(o.member, "Posted");
    EXPECT_EQ(o.signature, "s");
    arguments.push_back(o.argument);
  }
  EXPECT_EQ(observer.seen.back().member, "Sentinel");
  std::sort(arguments.begin(), arguments.end());
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(arguments, expected);
}

// A session bus of the test's own with a listener that records each name.
class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.running());
    listener_ = DBusNotificationListener::create([this](const std::string& name) {
      received_.push_back(name);
      if (name == "boom") throw std::runtime_error("callback failure");
    });
    ASSERT_NE(listener_, nullptr);
  }
  // Delivers until `count` names have arrived or nothing more comes.
  void receive(std::size_t count, std::chrono::milliseconds wait = 5s) {
    while (received_.size() < count && listener_->waitFor(wait)) {
    }
  }

  SessionBus bus_;
  std::vector<std::string> received_;
  std::unique_ptr<DBusNotificationListener> listener_;
};

TEST_F(Listening, DeliversNamesThroughPollAndIgnoresOtherSignals) {
  ASSERT_GE(listener_->fd(), 0);

  // Signals that share the path and interface but are not notifications.
  RawObserver other;
  ASSERT_TRUE(other.ok());
  ASSERT_GE(sd_bus_emit_signal(other.bus(), kObjectPath, kInterface, kMember, "i", 42), 0);
  ASSERT_GE(sd_bus_emit_signal(other.bus(), kObjectPath, kInterface, "Other", "s", "not-this"), 0);
  ASSERT_GE(sd_bus_emit_signal(other.bus(), "/elsewhere", kInterface, kMember, "s", "nor-this"), 0);
  ASSERT_GE(sd_bus_flush(other.bus()), 0);

  DBusNotifier notifier;
  notifier.post("first");
  notifier.post("second");

  // Driven the way an event loop would: poll the descriptor, then process.
  int delivered = 0;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (received_.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    // No input events asked for means work is queued already; the timeout says so too.
    pollfd p{listener_->fd(), listener_->events(), 0};
    std::uint64_t wait = std::min<std::uint64_t>(listener_->timeoutMicroseconds() / 1000, 100);
    if (p.events == 0) {
      EXPECT_EQ(wait, 0u);
    }
    poll(&p, 1, static_cast<int>(wait));
    int r = listener_->processPending();
    ASSERT_GE(r, 0);
    delivered += r;
  }
  std::sort(received_.begin(), received_.end());
  EXPECT_EQ(received_, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(delivered, 2);
  EXPECT_EQ(listener_->processPending(), 0);
}

TEST_F(Listening, WaitForReportsDeliveryAndTimeoutAndSurvivesAThrowingCallback) {
  EXPECT_FALSE(listener_->waitFor(100ms));
  EXPECT_TRUE(received_.empty());

  DBusNotifier notifier;
  notifier.post("boom");  // the callback throws for this one
  EXPECT_TRUE(listener_->waitFor(5s));
  notifier.post("after");
  receive(2);
  EXPECT_EQ(received_, (std::vector<std::string>{"boom", "after"}));
}

// "n<thread>.<index>". Built by appending: GCC 12 at -O3 inlines
// `"n" + std::to_string(t)` into a string insert and then reports a false
// -Wrestrict overlap for it.
std::string postName(int thread, int index) {
  std::string name = "n";
  name += std::to_string(thread);
  name += '.';
  name += std::to_string(index);
  return name;
}

TEST_F(Listening, PostsFromManyThreadsAllArrive) {
  constexpr int kThreads = 4, kPerThread = 5;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        DBusNotifier notifier;
        for (int i = 0; i < kPerThread; ++i) notifier.post(postName(t, i));
      });
    }
  }
  receive(kThreads * kPerThread);
  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kPerThread; ++i) expected.push_back(postName(t, i));
  std::sort(expected.begin(), expected.end());
  std::sort(received_.begin(), received_.end());
  EXPECT_EQ(received_, expected);
}

TEST(NotificationsDBus, WithoutAReachableBusPostIsQuietAndNoListenerIsMade) {
  struct Case {
    const char* address;  // DBUS_SESSION_BUS_ADDRESS, nullptr: unset
    const char* runtime;  // XDG_RUNTIME_DIR, nullptr: unset
  };
  const Case cases[] = {
      {nullptr, nullptr},
      {"unix:path=/nonexistent/sonarell-test-bus", nullptr},
      {nullptr, "/nonexistent"},  // a runtime folder without a bus socket in it
  };
  DBusNotifier notifier;
  const auto expectQuietAndNoListener = [&](const std::string& what) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    notifier.post("nobody-listens");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << what;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << what;
    EXPECT_EQ(DBusNotificationListener::create(nullptr), nullptr) << what;
  };
  for (const auto& c : cases) {
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", c.address);
    ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
    expectQuietAndNoListener(std::string(c.address ? c.address : "-") + " " + (c.runtime ? c.runtime : "-"));
  }
  // A bus that went away after its address was handed out.
  SessionBus bus;
  ASSERT_TRUE(bus.running());
  bus.kill();
  expectQuietAndNoListener("a bus that went away");
}

TEST_F(Listening, AWedgedBusDropsThatPostInsteadOfHoldingTheCaller) {
  DBusNotifier notifier;
  bus_.stop();
  notifier.post("while-stopped");  // returns after the delivery deadline
  bus_.resume();
  notifier.post("after-resume");
  receive(2, 1s);
  EXPECT_EQ(received_, (std::vector<std::string>{"after-resume"}));
}

}  // namespace
}  // namespace sonarell::notifications
