#include "platform/termination/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

namespace sonarell::termination {

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};
std::atomic<int> gWriteFd{-1};
struct sigaction gPrevious[kSignals.size()];

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

std::unique_ptr<TerminationSignals> TerminationSignals::install() {
  int fds[2];
  if (gWriteFd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  std::unique_ptr<TerminationSignals> installed(
      new TerminationSignals(fs::UniqueFd(fds[0]), fs::UniqueFd(fds[1])));
  gWriteFd.store(installed->writeEnd_.get());
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(kSignals[i], &action, &gPrevious[i]);
  }
  return installed;
}

TerminationSignals::TerminationSignals(fs::UniqueFd readEnd, fs::UniqueFd writeEnd)
    : readEnd_(std::move(readEnd)), writeEnd_(std::move(writeEnd)) {}

TerminationSignals::~TerminationSignals() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
  gWriteFd.store(-1);
}

std::vector<int> TerminationSignals::takePending() {
  std::vector<int> received;
  unsigned char buffer[64];
  for (;;) {
    const ssize_t n = ::read(readEnd_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received.insert(received.end(), buffer, buffer + n);
  }
  return received;
}

}  // namespace sonarell::termination
