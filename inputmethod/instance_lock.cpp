#include "inputmethod/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

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
  fs::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) {
    return Outcome::Failed;
  }
  int result = 0;
  do {
    result = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    return errno == EWOULDBLOCK ? Outcome::HeldElsewhere : Outcome::Failed;
  }
  lock.emplace(InstanceLock(std::move(fd)));
  return Outcome::Acquired;
}

}  // namespace sonarell::sample
