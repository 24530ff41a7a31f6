#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include "platform/runloop/run_loop_linux.h"

namespace sonarell::runloop {
namespace {

std::atomic<int> interruptions{0};

// A signal that arrives during the wait (handler installed without SA_RESTART, so
// the sleep really is cut short) must not shorten it; nonsense durations return
// rather than sleeping forever or crashing.
TEST(TimedRunLoop, SleepsTheWholeDurationThroughSignals) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = [](int) { interruptions.fetch_add(1); };
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t sleeper = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    for (int i = 0; i < 5 && !done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      if (!done) ::pthread_kill(sleeper, SIGUSR1);
    }
  });
  TimedRunLoop loop;
  const auto start = std::chrono::steady_clock::now();
  loop.runFor(0.3);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  done = true;
  interrupter.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GT(interruptions.load(), 0);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  for (double nonsense :
       {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    loop.runFor(nonsense);
  }
}

}  // namespace
}  // namespace sonarell::runloop
