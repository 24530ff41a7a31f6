#pragma once

// Receives the distributed notifications that DBusNotifier posts, on the user's
// session bus. The listener does not run a loop of its own: an event loop
// watches fd() for events() and calls processPending() when it is readable (or
// when timeoutMicroseconds() passes), or a test blocks in waitFor().
//
// A listener belongs to one thread at a time; it holds its own connection.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/notifications/sd_bus_handles.h"

namespace sonarell::notifications {

class DBusNotificationListener {
 public:
  // Receives each notification name. It runs inside processPending() or waitFor()
  // and should not throw; an exception it throws is dropped, since it cannot be
  // carried through the bus library. It must not destroy the listener.
  using Callback = std::function<void(const std::string& name)>;

  // Subscribed by the time it returns: a post made afterwards is received. None
  // when no session bus is reachable or the subscription is refused.
  static std::unique_ptr<DBusNotificationListener> create(Callback callback);

  DBusNotificationListener(const DBusNotificationListener&) = delete;
  DBusNotificationListener& operator=(const DBusNotificationListener&) = delete;
  ~DBusNotificationListener();

  // The connection's file descriptor, and the poll(2) events to wait for on it.
  // The events change as the connection's state changes: ask again before each wait.
  int fd() const;
  short events() const;
  // Microseconds until the connection needs processPending() even without input;
  // UINT64_MAX when it has no such deadline, 0 when it wants processing now.
  std::uint64_t timeoutMicroseconds() const;

  // Handles everything that has arrived, without blocking. The number of
  // notifications delivered to the callback, or a negative errno when the
  // connection is broken (it stays broken; make a new listener).
  int processPending();

  // Blocks until at least one notification has been delivered or the timeout has
  // passed. True when something was delivered.
  bool waitFor(std::chrono::milliseconds timeout);

 private:
  DBusNotificationListener(detail::BusHandle bus, Callback callback);
  static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);

  detail::BusHandle bus_;
  // Declared after bus_ so that the subscription goes before the connection.
  detail::SlotHandle slot_;
  Callback callback_;
  int delivered_ = 0;
};

}  // namespace sonarell::notifications
