#include "installer/application/signal_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

namespace sonarell::installer {

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};
std::atomic<int> gWriteFd{-1};
struct sigaction gPrevious[3];

void onSignal(int signal) {
  const int saved = errno;
  const int fd = gWriteFd.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);  // full pipe: a request is already pending
  }
  errno = saved;
}

}  // namespace

SignalPipe::SignalPipe(Handler handler) : handler_(std::move(handler)) {
  int fds[2];
  if (gWriteFd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  readEnd_ = fs::UniqueFd(fds[0]);
  writeEnd_ = fs::UniqueFd(fds[1]);
  gWriteFd.store(writeEnd_.get());
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(kSignals[i], &action, &gPrevious[i]);
  }
  notifier_ = std::make_unique<QSocketNotifier>(readEnd_.get(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalPipe::drain);
}

SignalPipe::~SignalPipe() {
  if (!notifier_) return;
  for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
  gWriteFd.store(-1);
  notifier_.reset();
}

void SignalPipe::drain() {
  unsigned char buffer[64];
  for (;;) {
    const ssize_t n = ::read(readEnd_.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (handler_) handler_(buffer[i]);
    }
  }
}

}  // namespace sonarell::installer
