#include "platform/fs/file_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sonarell::fs {

std::optional<PathError> makeFolders(const std::string& folder) {
  if (folder.empty()) return PathError{folder, ENOENT};
  std::size_t pos = folder.front() == '/' ? 1 : 0;
  while (pos <= folder.size()) {
    std::size_t next = folder.find('/', pos);
    if (next == std::string::npos) next = folder.size();
    if (next > pos) {
      const std::string prefix = folder.substr(0, next);
      if (::mkdir(prefix.c_str(), 0777) != 0) {
        const int error = errno;
        struct stat st {};
        if (error != EEXIST) return PathError{prefix, error};
        if (::stat(prefix.c_str(), &st) != 0) return PathError{prefix, errno};
        if (!S_ISDIR(st.st_mode)) return PathError{prefix, EEXIST};
      }
    }
    pos = next + 1;
  }
  return std::nullopt;
}

std::optional<PathError> createEmptyFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) return PathError{path, errno};
  if (!fd.close()) return PathError{path, errno};
  return std::nullopt;
}

std::variant<UniqueFd, PathError> openExistingForWriting(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return PathError{path, errno};
  return fd;
}

std::optional<std::string> readWholeFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  std::string bytes;
  // Size the buffer from the file, but keep reading to the end: something may
  // still be appending (a background process a script left behind).
  bytes.resize(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 65536);
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

bool appendToFile(const std::string& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return false;
  // O_APPEND makes each write land at the end as a whole; retry only on EINTR.
  ssize_t written = 0;
  do {
    written = ::write(fd.get(), bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(bytes.size());
}

LockOutcome tryLockExclusive(const std::string& path, UniqueFd& lock) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return LockOutcome::Failed;
  int result = 0;
  do {
    result = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return errno == EWOULDBLOCK ? LockOutcome::HeldElsewhere : LockOutcome::Failed;
  lock = std::move(fd);
  return LockOutcome::Acquired;
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
