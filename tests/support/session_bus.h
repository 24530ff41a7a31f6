#pragma once

// A private D-Bus session bus for one test: a dbus-daemon started on entry,
// DBUS_SESSION_BUS_ADDRESS pointing at it while the object lives, the daemon
// killed and reaped on exit.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/fs/unique_fd.h"
#include "tests/support/scratch.h"

extern char** environ;

namespace sonarell::testing {

using ScopedEnv = testsupport::ScopedEnv;

class SessionBus {
 public:
  SessionBus() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    fs::UniqueFd readEnd(fds[0]);
    fs::UniqueFd writeEnd(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The daemon prints its address on descriptor 3; dup2 clears close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 3);
    // Its complaints about resource limits are of no interest to the test.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"dbus-daemon", "--session",         "--nofork",
                          "--nopidfile", "--print-address=3", nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return;
    pid_ = pid;
    writeEnd.reset();

    std::string address;
    for (;;) {
      pollfd p{readEnd.get(), POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;
      char buffer[256];
      ssize_t n = read(readEnd.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      address.append(buffer, static_cast<std::size_t>(n));
      if (address.find('\n') != std::string::npos) break;
    }
    auto newline = address.find('\n');
    if (newline == std::string::npos) return;
    address_ = address.substr(0, newline);
    env_.emplace("DBUS_SESSION_BUS_ADDRESS", address_.c_str());
  }

  ~SessionBus() {
    env_.reset();
    kill();
  }
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  bool running() const { return pid_ > 0 && !address_.empty(); }
  const std::string& address() const { return address_; }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  void stop() const { ::kill(pid_, SIGSTOP); }
  void resume() const { ::kill(pid_, SIGCONT); }

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::optional<ScopedEnv> env_;
};

}  // namespace sonarell::testing
