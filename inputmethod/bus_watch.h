#pragma once

// Drives a notification listener from the Qt event loop: socket notifiers on
// its descriptor for the events it asks for, and a timer for its deadline.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>

#include "platform/notifications/notification_listener.h"

namespace sonarell::sample {

class BusWatch {
 public:
  // Takes the listener; nothing happens until the event loop runs.
  explicit BusWatch(std::unique_ptr<notifications::NotificationListener> listener);
  BusWatch(const BusWatch&) = delete;
  BusWatch& operator=(const BusWatch&) = delete;
  ~BusWatch();

  // False once the connection broke; the watch then stays silent.
  bool connected() const { return listener_ != nullptr; }

 private:
  void process();
  void rearm();

  std::unique_ptr<notifications::NotificationListener> listener_;
  std::unique_ptr<QSocketNotifier> readable_;
  std::unique_ptr<QSocketNotifier> writable_;
  QTimer deadline_;
};

}  // namespace sonarell::sample
