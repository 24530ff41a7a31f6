#pragma once

// Owning handles for sd-bus objects, so that every connection, slot and message
// is released on every path.

#include <systemd/sd-bus.h>

#include <memory>

namespace sonarell::notifications::detail {

struct BusCloser {
  // Closes without waiting for anything still queued: flushing a connection that
  // stopped making progress could block for the library's long timeouts.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusHandle = std::unique_ptr<sd_bus, BusCloser>;

struct SlotReleaser {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotHandle = std::unique_ptr<sd_bus_slot, SlotReleaser>;

struct MessageReleaser {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessageHandle = std::unique_ptr<sd_bus_message, MessageReleaser>;

// Writes out whatever is still queued, then closes.
inline void flushAndClose(BusHandle bus) { sd_bus_flush_close_unref(bus.release()); }

// Opens a new connection to the user's session bus. Null when none is reachable.
BusHandle openSessionBus();

}  // namespace sonarell::notifications::detail
