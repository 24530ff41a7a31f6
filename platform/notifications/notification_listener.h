#pragma once

// Receives the distributed notifications that a DistributedNotifier posts. A
// listener runs no loop of its own: the program's event loop watches fd() for
// the directions it wants and calls processPending() when it is ready (or when
// timeoutMicroseconds() passes), or a test blocks in waitFor(). Where the system
// delivers notifications through the main run loop by itself, fd() is negative
// and the event loop has nothing to watch.
//
// A listener belongs to one thread at a time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace sonarell::notifications {

class NotificationListener {
 public:
  // Receives each notification name. It runs inside processPending() or waitFor()
  // and should not throw. It must not destroy the listener.
  using Callback = std::function<void(const std::string& name)>;

  virtual ~NotificationListener() = default;

  // The descriptor to watch, negative when there is none, and whether to wait
  // for it to be readable or writable. The directions may change with the
  // listener's state: ask again before each wait.
  virtual int fd() const = 0;
  virtual bool wantsRead() const = 0;
  virtual bool wantsWrite() const = 0;
  // Microseconds until the listener needs processPending() even without input;
  // UINT64_MAX when it has no such deadline, 0 when it wants processing now.
  virtual std::uint64_t timeoutMicroseconds() const = 0;

  // Handles everything that has arrived, without blocking. The number of
  // notifications delivered to the callback, or a negative errno when the
  // listener is broken for good (make a new one).
  virtual int processPending() = 0;

  // Blocks until at least one notification has been delivered or the timeout has
  // passed. True when something was delivered.
  virtual bool waitFor(std::chrono::milliseconds timeout) = 0;
};

}  // namespace sonarell::notifications
