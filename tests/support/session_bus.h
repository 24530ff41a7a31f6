#pragma once

// A private D-Bus session bus for one test: a dbus-daemon started on entry, DBUS_SESSION_BUS_ADDRESS pointing
// at it while the object lives, the daemon ended and reaped on exit.

#include <poll.h>
#include <signal.h>

#include <future>

#include "tests/support/spawn.h"

namespace sonarell::test {

class SessionBus {
 public:
  SessionBus() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    const fs::UniqueFd readEnd(fds[0]);
    fs::UniqueFd writeEnd(fds[1]);
    const fs::UniqueFd quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));  // its complaints about limits
    process::LaunchConfiguration daemon{"/usr/bin/dbus-daemon",
                                        {"--session", "--nofork", "--nopidfile", "--print-address=1"},
                                        inheritedEnvironment({}),
                                        ""};
    daemon.outputFd = writeEnd.get();
    daemon.errorFd = quiet.get();
    auto started = process::ChildProcess::start(
        daemon, [ended = ended_](const process::Termination&) { ended->set_value(); });
    if (started) daemon_ = std::move(started).value();
    writeEnd.reset();
    std::string address;
    char buffer[256];
    for (pollfd p{readEnd.get(), POLLIN, 0}; daemon_ && address.find('\n') == std::string::npos;) {
      const ssize_t n = ::poll(&p, 1, 10000) > 0 ? ::read(readEnd.get(), buffer, sizeof buffer) : -1;
      if (n <= 0) return;
      address.append(buffer, static_cast<std::size_t>(n));
    }
    address_ = address.substr(0, address.find('\n'));
    env_.emplace("DBUS_SESSION_BUS_ADDRESS", address_.c_str());
  }
  ~SessionBus() {
    env_.reset();
    kill();
  }
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  bool running() const { return daemon_ && !address_.empty(); }
  const std::string& address() const { return address_; }
  // Ends the daemon and waits until it was reaped.
  void kill() {
    if (!daemon_) return;
    signal(SIGCONT);
    signal(SIGTERM);
    ended_->get_future().wait();
    daemon_.reset();
  }
  void stop() const { signal(SIGSTOP); }
  void resume() const { signal(SIGCONT); }

 private:
  void signal(int number) const {
    if (daemon_ && !daemon_->ended()) ::kill(daemon_->pid(), number);
  }
  std::shared_ptr<std::promise<void>> ended_ = std::make_shared<std::promise<void>>();
  std::unique_ptr<process::ChildProcess> daemon_;
  std::string address_;
  std::optional<ScopedEnv> env_;
};

}  // namespace sonarell::test
