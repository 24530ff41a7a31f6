#pragma once

// At most one running instance per user: the first instance holds an exclusive
// lock on a file below the user's Library/Caches; later ones see it held.

#include <optional>
#include <string>

#include "platform/fs/unique_fd.h"

namespace sonarell::sample {

class InstanceLock {
 public:
  enum class Outcome { Acquired, HeldElsewhere, Failed };

  // Tries once, without waiting. The lock lives as long as the returned object.
  static Outcome tryAcquire(const std::string& home, std::optional<InstanceLock>& lock);

  static std::string lockPath(const std::string& home);

 private:
  explicit InstanceLock(fs::UniqueFd fd) : fd_(std::move(fd)) {}
  fs::UniqueFd fd_;  // closing it releases the lock
};

}  // namespace sonarell::sample
