#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

#include "platform/notifications/distributed_notifier_linux.h"
#include "platform/notifications/notification_listener_linux.h"
#include "tests/support/session_bus.h"

namespace sonarell::notifications {
namespace {

using namespace std::chrono_literals;
using namespace sonarell::test;

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
  SessionBus bus_;
  std::vector<std::string> received_;
  std::unique_ptr<DBusNotificationListener> listener_;
};

// The wire names are what peers (the input method) rely on: a peer's signal with them spelt out is delivered,
// signals that share only some of them are not, and each post from any thread arrives once.
TEST_F(Listening, PostsFromAnyThreadArriveOnceThroughPollAndNothingElseDoes) {
  EXPECT_FALSE(listener_->waitFor(100ms));
  sd_bus* raw = nullptr;
  ASSERT_GE(sd_bus_open_user(&raw), 0);
  const detail::BusHandle peer(raw);
  const char* path = "/org/quennet/sonarell/DistributedNotifications";
  const char* interface = "org.quennet.sonarell.DistributedNotifications";
  ASSERT_GE(sd_bus_emit_signal(raw, path, interface, "Posted", "s", "from a peer"), 0);
  ASSERT_GE(sd_bus_emit_signal(raw, path, interface, "Posted", "i", 42), 0);
  ASSERT_GE(sd_bus_emit_signal(raw, path, interface, "Other", "s", "not-this"), 0);
  ASSERT_GE(sd_bus_emit_signal(raw, "/elsewhere", interface, "Posted", "s", "nor-this"), 0);
  ASSERT_GE(sd_bus_emit_signal(raw, path, "org.example.Elsewhere", "Posted", "s", "nor-this"), 0);
  ASSERT_GE(sd_bus_flush(raw), 0);

  std::vector<std::string> expected{"from a peer", "名前 with spaces"};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      for (int i = 0; i < 5; ++i) expected.push_back(std::to_string(100 + t * 10 + i));
      threads.emplace_back([t] {
        DBusNotifier notifier;
        for (int i = 0; i < 5; ++i) notifier.post(std::to_string(100 + t * 10 + i));
      });
    }
    DBusNotifier().post("名前 with spaces");
  }

  // Driven the way an event loop would: poll the descriptor, then process.
  int delivered = 0;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (received_.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
    // No input events asked for means work is queued already; the timeout says so too.
    pollfd p{listener_->fd(), listener_->events(), 0};
    const std::uint64_t wait = std::min<std::uint64_t>(listener_->timeoutMicroseconds() / 1000, 100);
    EXPECT_TRUE(p.events != 0 || wait == 0) << wait;
    ::poll(&p, 1, static_cast<int>(wait));
    const int r = listener_->processPending();
    ASSERT_GE(r, 0);
    delivered += r;
  }
  std::sort(expected.begin(), expected.end());
  std::sort(received_.begin(), received_.end());
  EXPECT_EQ(received_, expected);
  EXPECT_EQ(delivered, static_cast<int>(expected.size()));
  EXPECT_EQ(listener_->processPending(), 0);

  // A callback that throws loses nothing after it.
  received_.clear();
  DBusNotifier notifier;
  notifier.post("boom");
  EXPECT_TRUE(listener_->waitFor(5s));
  notifier.post("after");
  EXPECT_TRUE(listener_->waitFor(5s));
  EXPECT_EQ(received_, (std::vector<std::string>{"boom", "after"}));
}

// A daemon that does not answer holds a post up to the delivery deadline, never longer; the post made
// meanwhile may arrive once it answers again, the next one does, and none twice.
TEST_F(Listening, AWedgedBusNeverHoldsThePosterPastTheDeadline) {
  DBusNotifier notifier;
  bus_.stop();
  siginfo_t stopped{};
  ASSERT_EQ(::waitid(P_ALL, 0, &stopped, WSTOPPED | WNOWAIT), 0);  // the daemon, our only child, has stopped
  bool resumedByWatchdog = false;
  {
    // A post that waited for the daemon would wait for good: this resumes it so the test fails, not hangs.
    std::jthread watchdog([&](std::stop_token stop) {
      std::mutex m;
      std::condition_variable_any cv;
      std::unique_lock lock(m);
      cv.wait_for(lock, stop, DBusNotifier::kDeliveryDeadline + 10s, [] { return false; });
      if (stop.stop_requested()) return;
      resumedByWatchdog = true;
      bus_.resume();
    });
    notifier.post("while-stopped");
  }
  EXPECT_FALSE(resumedByWatchdog) << "the post waited for the stopped daemon";
  bus_.resume();
  notifier.post("after-resume");
  const auto arrived = [&](const char* name) { return std::count(received_.begin(), received_.end(), name); };
  for (const auto deadline = std::chrono::steady_clock::now() + 30s;
       arrived("after-resume") == 0 && std::chrono::steady_clock::now() < deadline;)
    listener_->waitFor(100ms);
  while (listener_->waitFor(300ms)) {  // what is still on its way, a second copy would be
  }
  EXPECT_EQ(arrived("after-resume"), 1);
  EXPECT_LE(arrived("while-stopped"), 1);
  EXPECT_EQ(received_.size(), static_cast<std::size_t>(arrived("after-resume") + arrived("while-stopped")));
}

TEST(Notifications, WithoutAReachableBusPostIsQuietAndNoListenerIsMade) {
  DBusNotifier notifier;
  // DBUS_SESSION_BUS_ADDRESS and XDG_RUNTIME_DIR (a folder without a bus socket in it); nullptr: unset.
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, nullptr}, {"unix:path=/nonexistent/sonarell-test-bus", nullptr}, {nullptr, "/nonexistent"}};
  for (const auto& [address, runtime] : cases) {
    SCOPED_TRACE(std::string(address ? address : "-") + " " + (runtime ? runtime : "-"));
    ScopedEnv a("DBUS_SESSION_BUS_ADDRESS", address), r("XDG_RUNTIME_DIR", runtime);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    notifier.post("nobody-listens");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(DBusNotificationListener::create(nullptr), nullptr);
  }
}

}  // namespace
}  // namespace sonarell::notifications
