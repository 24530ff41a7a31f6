#include "platform/runloop/run_loop_linux.h"

#include <time.h>

#include <cerrno>
#include <cmath>

namespace sonarell::runloop {

void TimedRunLoop::runFor(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  const double whole = std::floor(seconds);
  deadline.tv_sec += static_cast<time_t>(whole);
  deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  // An absolute deadline makes a wait interrupted by a signal resume for exactly
  // what is left, however often that happens.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace sonarell::runloop
