#include "platform/notifications/notification_listener_linux.h"

#include <poll.h>
#include <time.h>

#include <utility>

#include "platform/notifications/distributed_notifier_linux.h"

namespace sonarell::notifications {

std::unique_ptr<DBusNotificationListener> DBusNotificationListener::create(Callback callback) {
  detail::BusHandle bus = detail::openSessionBus();
  if (!bus) return nullptr;
  std::unique_ptr<DBusNotificationListener> listener(
      new DBusNotificationListener(std::move(bus), std::move(callback)));
  sd_bus_slot* slot = nullptr;
  // The synchronous form waits for the bus to confirm the match rule, so nothing
  // posted after create() returns can be missed.
  if (sd_bus_match_signal(listener->bus_.get(), &slot, nullptr, kObjectPath, kInterface, kMember,
                          &DBusNotificationListener::onSignal, listener.get()) < 0) {
    return nullptr;
  }
  listener->slot_.reset(slot);
  return listener;
}

DBusNotificationListener::DBusNotificationListener(detail::BusHandle bus, Callback callback)
    : bus_(std::move(bus)), callback_(std::move(callback)) {}

DBusNotificationListener::~DBusNotificationListener() {
  // The subscription refers to this object; drop it before anything else goes.
  slot_.reset();
}

int DBusNotificationListener::fd() const { return sd_bus_get_fd(bus_.get()); }

short DBusNotificationListener::events() const {
  int events = sd_bus_get_events(bus_.get());
  return events < 0 ? static_cast<short>(POLLIN) : static_cast<short>(events);
}

bool DBusNotificationListener::wantsRead() const { return (events() & POLLIN) != 0; }

bool DBusNotificationListener::wantsWrite() const { return (events() & POLLOUT) != 0; }

std::uint64_t DBusNotificationListener::timeoutMicroseconds() const {
  std::uint64_t absolute = 0;
  if (sd_bus_get_timeout(bus_.get(), &absolute) < 0 || absolute == UINT64_MAX) return UINT64_MAX;
  // sd-bus answers with an absolute CLOCK_MONOTONIC time.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t nowUs =
      static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
  return absolute > nowUs ? absolute - nowUs : 0;
}

int DBusNotificationListener::onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DBusNotificationListener*>(userdata);
  // Anyone may send on this interface; only the one-string form is a notification.
  if (sd_bus_message_has_signature(message, kSignature) <= 0) return 0;
  const char* name = nullptr;
  if (sd_bus_message_read(message, kSignature, &name) < 0 || name == nullptr) return 0;
  ++self->delivered_;
  if (self->callback_) {
    try {
      self->callback_(name);
    } catch (...) {
      // Unwinding through the C library would be undefined; the name is dropped.
    }
  }
  return 0;
}

int DBusNotificationListener::processPending() {
  int before = delivered_;
  for (;;) {
    int r = sd_bus_process(bus_.get(), nullptr);
    if (r < 0) return r;
    if (r == 0) break;
  }
  return delivered_ - before;
}

bool DBusNotificationListener::waitFor(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + timeout;
  int got = 0;
  for (;;) {
    int r = processPending();
    if (r < 0) return got > 0;
    got += r;
    if (got > 0) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    if (sd_bus_wait(bus_.get(), static_cast<std::uint64_t>(remaining.count())) < 0) return false;
  }
}

}  // namespace sonarell::notifications
