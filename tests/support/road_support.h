#pragma once

// What the tests of the whole road share beyond the support library: where the
// build put the bundles (set by CMake), and waiting for what a run started.

#include <sys/file.h>

#include <chrono>
#include <thread>

#include "tests/support/bundle.h"
#include "tests/support/session_bus.h"

namespace sonarell::road {

using namespace sonarell::test;

inline fsys::path buildDir() { return SONARELL_ROAD_BUILD_DIR; }
inline fsys::path sourceDir() { return SONARELL_ROAD_SOURCE_DIR; }

// Polls `condition` until it holds or the time is up; true when it held.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; !condition();) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The sample input method, started by a run, keeps going for a short while;
// waits (up to 20 s) until it has let go of its instance lock in `home`.
inline bool waitForInputMethodToEnd(const fsys::path& home) {
  const fsys::path lock = home / "Library/Caches/org.quennet.inputmethod.Sonarell/instance.lock";
  return eventually(
      [&] {
        const fs::UniqueFd fd(::open(lock.c_str(), O_RDWR | O_CLOEXEC));
        return !fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
      },
      std::chrono::seconds(20));
}

}  // namespace sonarell::road
