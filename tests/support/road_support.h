#pragma once

// Helpers for the tests that drive the whole road: bundles made on the fly,
// preference files, and child processes whose output is collected.

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/scratch.h"
#include "tests/support/session_bus.h"

namespace sonarell::road {

using testing::ScopedEnv;
using testing::SessionBus;
using testsupport::namesIn;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fsys = std::filesystem;

// Where the build put the bundles and where the sources are (set by CMake).
fsys::path buildDir();
fsys::path sourceDir();

void copyTree(const fsys::path& from, const fsys::path& to);
// Every path below the folder `root` with its type and, for files, contents.
std::map<std::string, std::string> snapshot(const fsys::path& root);
// True when both folders hold the same names, types and file contents.
bool sameTree(const fsys::path& a, const fsys::path& b);

// A minimal bundle at `app`: Contents/Info.plist with the identifier and version.
void makeBundle(const fsys::path& app, const std::string& identifier, const std::string& version);
// Replaces the CFBundleShortVersionString (and CFBundleVersion) of an XML Info.plist.
void setBundleVersion(const fsys::path& app, const std::string& version);
std::string bundleVersion(const fsys::path& app);

// An XML property list holding the preference dictionary of com.apple.HIToolbox
// with the given array elements (XML fragments) as AppleEnabledInputSources.
std::string hiToolboxPlist(const std::vector<std::string>& enabledSources);
// A keyboard layout and another input method (parent and mode), as a Mac that
// has never seen Sonarell holds them.
std::vector<std::string> foreignEnabledSources();
fsys::path hiToolboxPath(const fsys::path& home);

struct RunResult {
  int status = -1;     // exit status, or 128 + signal
  std::string output;  // standard output and standard error, interleaved
};
// Runs argv[0] (an absolute path) with exactly this environment, in `cwd`, and
// collects both output streams until it ends.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
              const fsys::path& cwd);

// Polls `condition` until it holds or the time is up; true when it held.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout);

// The sample input method, started by a test, keeps running for a short while;
// waits (up to 20 s) until it has let go of its instance lock in `home`.
bool waitForInputMethodToEnd(const fsys::path& home);

}  // namespace sonarell::road

#include <thread>

template <typename Condition>
bool sonarell::road::eventually(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
