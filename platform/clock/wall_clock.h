#pragma once

// The wall clock, for the time stamps in the names of files the tools make.
// Nothing may depend on its being right: it can be set back or jump.

#include <chrono>

namespace sonarell::clock {

std::chrono::system_clock::time_point wallClockNow();

}  // namespace sonarell::clock
