#pragma once

// Distributed notifications on Linux: one D-Bus signal on the user's session
// bus per post, carrying the notification name as its only argument.

#include <chrono>
#include <string>
#include <string_view>

#include "platform/notifications/distributed_notifier.h"

namespace sonarell::notifications {

inline constexpr const char* kObjectPath = "/org/quennet/sonarell/DistributedNotifications";
inline constexpr const char* kInterface = "org.quennet.sonarell.DistributedNotifications";
inline constexpr const char* kMember = "Posted";
inline constexpr const char* kSignature = "s";

class DBusNotifier final : public DistributedNotifier {
 public:
  // How long one post may take to hand its signal to the bus. A bus that does not
  // accept the signal within it (a wedged daemon) loses that one notification
  // rather than holding up the caller.
  static constexpr std::chrono::milliseconds kDeliveryDeadline{2000};

  // Opens its own connection for every post, so any thread may call it. Returns
  // once the signal has been written to the bus; with no session bus reachable it
  // does nothing, silently.
  void post(const std::string& name) override;
};

}  // namespace sonarell::notifications
