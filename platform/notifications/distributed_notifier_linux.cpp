#include "platform/notifications/distributed_notifier_linux.h"

#include <cstdint>
#include <utility>

#include "platform/notifications/sd_bus_handles_linux.h"

namespace sonarell::notifications {

namespace detail {

BusHandle openSessionBus() {
  sd_bus* raw = nullptr;
  // Uses DBUS_SESSION_BUS_ADDRESS, or $XDG_RUNTIME_DIR/bus, and fails when
  // neither names a bus that accepts the connection.
  if (sd_bus_open_user(&raw) < 0) return nullptr;
  return BusHandle(raw);
}

}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;

// Drives the connection until the greeting is answered and nothing is left to
// write, or until the deadline. True when everything queued went out.
bool drain(sd_bus* bus, Clock::time_point deadline) {
  for (;;) {
    int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) return false;
    if (processed > 0) continue;

    std::uint64_t queued = 0;
    if (sd_bus_get_n_queued_write(bus, &queued) < 0) return false;
    if (sd_bus_is_ready(bus) > 0 && queued == 0) return true;

    auto now = Clock::now();
    if (now >= deadline) return false;
    auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    if (sd_bus_wait(bus, static_cast<std::uint64_t>(remaining.count())) < 0) return false;
  }
}

}  // namespace

void DBusNotifier::post(const std::string& name) {
  detail::BusHandle bus = detail::openSessionBus();
  if (!bus) return;
  if (sd_bus_emit_signal(bus.get(), kObjectPath, kInterface, kMember, kSignature, name.c_str()) < 0) return;
  // Any failure leaves the handle to close the connection without flushing.
  if (!drain(bus.get(), Clock::now() + kDeliveryDeadline)) return;
  detail::flushAndClose(std::move(bus));
}

}  // namespace sonarell::notifications
