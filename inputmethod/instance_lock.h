#pragma once

// At most one running instance per user: the first instance holds an exclusive
// lock on a file below the user's Library/Caches; later ones see it held.

#include <string>

#include "platform/fs/file_access.h"
#include "platform/fs/unique_fd.h"
#include "platform/result/result.h"

namespace sonarell::sample {

class InstanceLock {
 public:
  // Tries once, without waiting. The lock lives as long as the returned object;
  // the error says whether another instance holds it (HeldElsewhere) or it could
  // not be tried (Failed: the folder or the file could not be made, with errno).
  static Result<InstanceLock, fs::LockError> tryAcquire(const std::string& home);

  static std::string lockPath(const std::string& home);

 private:
  explicit InstanceLock(fs::UniqueFd fd) : fd_(std::move(fd)) {}
  fs::UniqueFd fd_;  // closing it releases the lock
};

}  // namespace sonarell::sample
