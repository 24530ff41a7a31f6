#include "inputmethod/instance_lock.h"

#include "platform/fs/paths.h"

namespace sonarell::sample {

std::string InstanceLock::lockPath(const std::string& home) {
  return home + "/Library/Caches/org.quennet.inputmethod.Sonarell/instance.lock";
}

Result<InstanceLock, fs::LockError> InstanceLock::tryAcquire(const std::string& home) {
  const std::string path = lockPath(home);
  if (auto made = fs::makeFolders(fs::deletingLastPathComponent(path)); !made) {
    return fs::LockError{fs::LockError::Kind::Failed, made.error()};
  }
  auto locked = fs::tryLockExclusive(path);
  if (!locked) return locked.error();
  return InstanceLock(std::move(locked).value());
}

}  // namespace sonarell::sample
