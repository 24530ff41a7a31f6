#pragma once

#include <string>

namespace sonarell::notifications {

// Posts a notification that other processes of the same user can receive.
// Posting has no failure path: with nobody to deliver to, it does nothing.
class DistributedNotifier {
 public:
  virtual ~DistributedNotifier() = default;
  virtual void post(const std::string& name) = 0;
};

}  // namespace sonarell::notifications
