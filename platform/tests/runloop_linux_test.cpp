#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cmath>

#include "platform/runloop/run_loop_linux.h"

namespace sonarell::runloop {
namespace {

std::atomic<int> interruptions{0};

// Signals that arrive during the wait (a handler without SA_RESTART, so the sleep really is cut short, every
// 30 ms) must not shorten it; nonsense durations return rather than sleeping forever or crashing.
TEST(TimedRunLoop, SleepsTheWholeDurationThroughSignals) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) { interruptions.fetch_add(1); };
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
  const itimerval every30ms{{0, 30000}, {0, 30000}}, off{};
  ASSERT_EQ(::setitimer(ITIMER_REAL, &every30ms, nullptr), 0);
  const auto start = std::chrono::steady_clock::now();
  TimedRunLoop loop;
  loop.runFor(0.3);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GT(interruptions.load(), 0);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  for (double nonsense : {0.0, -1.0, double(NAN), double(INFINITY)}) loop.runFor(nonsense);
}

}  // namespace
}  // namespace sonarell::runloop
