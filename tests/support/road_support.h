#pragma once

// Helpers for the tests that drive the whole road: a throw-away home folder,
// bundles made on the fly, child processes whose output is collected, and a
// private D-Bus session bus.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sonarell::road {

namespace fsys = std::filesystem;

// Where the build put the bundles and where the sources are (set by CMake).
fsys::path buildDir();
fsys::path sourceDir();

// A new, empty folder under the system's temporary folder, removed with
// everything in it when the object goes. Its path contains no symbolic link.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "sonarell-road");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const fsys::path& path() const { return path_; }

 private:
  fsys::path path_;
};

std::string readFile(const fsys::path& path);
void writeFile(const fsys::path& path, const std::string& contents);  // creates parent folders
void copyTree(const fsys::path& from, const fsys::path& to);
// True when both trees hold the same names, types and file contents.
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

// A dbus-daemon of the test's own; DBUS_SESSION_BUS_ADDRESS points at it while
// the object lives. address() is empty when the daemon could not be started.
class SessionBus {
 public:
  SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus();
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::optional<std::string> previous_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

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
