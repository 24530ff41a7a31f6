#pragma once

// Receives the distributed notifications that DBusNotifier posts, on the user's
// session bus. Each listener holds its own connection; fd() is its socket.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/notifications/notification_listener.h"
#include "platform/notifications/sd_bus_handles_linux.h"

namespace sonarell::notifications {

class DBusNotificationListener final : public NotificationListener {
 public:
  // An exception the callback throws is dropped, since it cannot be carried
  // through the bus library.
  // Subscribed by the time it returns: a post made afterwards is received. None
  // when no session bus is reachable or the subscription is refused.
  static std::unique_ptr<DBusNotificationListener> create(Callback callback);

  DBusNotificationListener(const DBusNotificationListener&) = delete;
  DBusNotificationListener& operator=(const DBusNotificationListener&) = delete;
  ~DBusNotificationListener() override;

  // The connection's file descriptor, and the poll(2) events to wait for on it.
  // The events change as the connection's state changes: ask again before each wait.
  int fd() const override;
  short events() const;
  bool wantsRead() const override;
  bool wantsWrite() const override;
  // Microseconds until the connection needs processPending() even without input;
  // UINT64_MAX when it has no such deadline, 0 when it wants processing now.
  std::uint64_t timeoutMicroseconds() const override;

  // Handles everything that has arrived, without blocking. The number of
  // notifications delivered to the callback, or a negative errno when the
  // connection is broken (it stays broken; make a new listener).
  int processPending() override;

  // Blocks until at least one notification has been delivered or the timeout has
  // passed. True when something was delivered.
  bool waitFor(std::chrono::milliseconds timeout) override;

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
