#include "platform/fs/file_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sonarell::fs {

Result<void, PathError> makeFolder(const std::string& path, unsigned mode) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return {};
  const int error = errno;
  struct stat st {};
  if (error != EEXIST) return PathError{path, error};
  if (::stat(path.c_str(), &st) != 0) return PathError{path, errno};
  if (!S_ISDIR(st.st_mode)) return PathError{path, EEXIST};
  return {};
}

Result<void, PathError> makeFolders(const std::string& folder) {
  if (folder.empty()) return PathError{folder, ENOENT};
  std::size_t pos = folder.front() == '/' ? 1 : 0;
  while (pos <= folder.size()) {
    std::size_t next = folder.find('/', pos);
    if (next == std::string::npos) next = folder.size();
    if (next > pos) {
      if (auto made = makeFolder(folder.substr(0, next), 0777); !made) return made;
    }
    pos = next + 1;
  }
  return {};
}

Result<void, PathError> createEmptyFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) return PathError{path, errno};
  if (!fd.close()) return PathError{path, errno};
  return {};
}

Result<UniqueFd, PathError> openExistingForWriting(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return PathError{path, errno};
  return fd;
}

Result<void, PathError> appendToFile(const std::string& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return PathError{path, errno};
  // O_APPEND makes each write land at the end as a whole; retry only on EINTR.
  ssize_t written = 0;
  do {
    written = ::write(fd.get(), bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) return PathError{path, errno};
  if (written != static_cast<ssize_t>(bytes.size())) return PathError{path, EIO};
  return {};
}

Result<UniqueFd, LockError> tryLockExclusive(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return LockError{LockError::Kind::Failed, {path, errno}};
  int result = 0;
  do {
    result = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    return LockError{error == EWOULDBLOCK ? LockError::Kind::HeldElsewhere : LockError::Kind::Failed,
                     {path, error}};
  }
  return fd;
}

std::optional<std::string> currentDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

long currentProcessId() { return static_cast<long>(::getpid()); }

}  // namespace sonarell::fs
