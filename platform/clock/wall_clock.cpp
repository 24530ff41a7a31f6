#include "platform/clock/wall_clock.h"

namespace sonarell::clock {

std::chrono::system_clock::time_point wallClockNow() { return std::chrono::system_clock::now(); }

}  // namespace sonarell::clock
