#pragma once

// What the tests of the whole road share beyond the support library: where the
// build put the bundles (set by CMake), and waiting for what a run started.

#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <optional>
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

// The enabled list of a preference file, or a list backup.
inline std::optional<plist::Array> readList(const fsys::path& file) {
  const auto root = plist::readFile(file.string());
  const plist::Dictionary* dictionary = root ? root->asDictionary() : nullptr;
  const plist::Value* list = dictionary ? dictionary->find("AppleEnabledInputSources")
                             : root     ? &*root
                                        : nullptr;
  return list && list->asArray() ? std::optional(*list->asArray()) : std::nullopt;
}

// `list` holds `before` first, in place, then nothing but our own records (which
// the enabling calls may have added).
inline void expectListThenOwnRecords(const std::optional<plist::Array>& list, const plist::Array& before) {
  ASSERT_TRUE(list && list->size() >= before.size());
  EXPECT_TRUE(plist::Array(list->begin(), list->begin() + static_cast<std::ptrdiff_t>(before.size())) ==
              before);
  for (std::size_t i = before.size(); i < list->size(); ++i)
    EXPECT_TRUE((*list)[i] == parentRecord() || (*list)[i] == modeRecord()) << "element " << i;
}

}  // namespace sonarell::road
