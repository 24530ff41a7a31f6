#include "installer/application/signal_pipe.h"

namespace sonarell::installer {

SignalPipe::SignalPipe(Handler handler)
    : handler_(std::move(handler)), signals_(termination::TerminationSignals::install()) {
  if (!signals_) return;
  notifier_ = std::make_unique<QSocketNotifier>(signals_->fd(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalPipe::drain);
}

void SignalPipe::drain() {
  for (const int signal : signals_->takePending()) {
    if (handler_) handler_(signal);
  }
}

}  // namespace sonarell::installer
