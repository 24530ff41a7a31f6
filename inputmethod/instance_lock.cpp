#include "inputmethod/instance_lock.h"

#include <filesystem>
#include <system_error>

#include "platform/fs/file_access.h"

namespace sonarell::sample {

std::string InstanceLock::lockPath(const std::string& home) {
  return home + "/Library/Caches/org.quennet.inputmethod.Sonarell/instance.lock";
}

InstanceLock::Outcome InstanceLock::tryAcquire(const std::string& home, std::optional<InstanceLock>& lock) {
  const std::filesystem::path path = lockPath(home);
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) {
    return Outcome::Failed;
  }
  fs::UniqueFd fd;
  switch (fs::tryLockExclusive(path.string(), fd)) {
    case fs::LockOutcome::Acquired:
      break;
    case fs::LockOutcome::HeldElsewhere:
      return Outcome::HeldElsewhere;
    case fs::LockOutcome::Failed:
      return Outcome::Failed;
  }
  lock.emplace(InstanceLock(std::move(fd)));
  return Outcome::Acquired;
}

}  // namespace sonarell::sample
