#include "inputmethod/bus_watch.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

namespace sonarell::sample {

BusWatch::BusWatch(std::unique_ptr<notifications::NotificationListener> listener)
    : listener_(std::move(listener)) {
  if (!listener_) {
    return;
  }
  // A listener without a descriptor is served by the run loop itself; only its
  // deadline needs a timer.
  if (const int fd = listener_->fd(); fd >= 0) {
    readable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    writable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    QObject::connect(readable_.get(), &QSocketNotifier::activated, [this] { process(); });
    QObject::connect(writable_.get(), &QSocketNotifier::activated, [this] { process(); });
    writable_->setEnabled(false);
  }
  deadline_.setSingleShot(true);
  QObject::connect(&deadline_, &QTimer::timeout, [this] { process(); });
  // Anything that arrived while subscribing is handled on the first loop pass.
  deadline_.start(0);
}

BusWatch::~BusWatch() {
  // The notifiers go before the listener that owns their descriptor.
  readable_.reset();
  writable_.reset();
}

void BusWatch::process() {
  if (!listener_) {
    return;
  }
  if (listener_->processPending() < 0) {
    // The bus went away (its daemon ended): nothing more will arrive.
    readable_.reset();
    writable_.reset();
    deadline_.stop();
    listener_.reset();
    return;
  }
  rearm();
}

void BusWatch::rearm() {
  if (readable_) readable_->setEnabled(listener_->wantsRead());
  if (writable_) writable_->setEnabled(listener_->wantsWrite());
  const std::uint64_t timeout = listener_->timeoutMicroseconds();
  if (timeout == std::numeric_limits<std::uint64_t>::max()) {
    deadline_.stop();
    return;
  }
  // Round up so that the deadline has passed when the timer fires.
  const std::uint64_t ms = (timeout + 999) / 1000;
  deadline_.start(static_cast<int>(std::min<std::uint64_t>(ms, std::numeric_limits<int>::max())));
}

}  // namespace sonarell::sample
