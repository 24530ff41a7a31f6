#include "platform/fs/new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "platform/fs/file_access.h"
#include "platform/fs/paths.h"
#include "platform/fs/temporary_file.h"
#include "platform/fs/unique_fd.h"
#include "platform/random/random_bytes.h"

namespace sonarell::fs {

namespace {

// Hidden, and with an infix no one gives a file of their own.
std::string temporaryPrefix(std::string_view name) { return "." + std::string(name) + ".keyloom-"; }

}  // namespace

Result<void, PathError> writeNewFile(const std::string& path, std::string_view bytes,
                                     const std::function<void()>& beforeRename) {
  const std::string name = lastPathComponent(path);
  if (path.empty() || path.back() == '/' || name.empty() || name == "/" || name == "." || name == "..") {
    return PathError{path, EINVAL};
  }
  // Anything at the path already refuses the write before a temporary file is made.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return PathError{path, EEXIST};
  const std::string folder = deletingLastPathComponent(path);
  const std::string prefix =
      folder.empty() ? temporaryPrefix(name) : appendingPathComponent(folder, temporaryPrefix(name));

  TemporaryFile temporary;
  UniqueFd fd;
  std::string candidate;
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    candidate = prefix + random::randomLettersAndDigits();
    // O_EXCL: a name someone else holds is never reused; mode 0644 less the umask.
    fd = UniqueFd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd) temporary.own(candidate);
    if (!fd && errno != EEXIST) return PathError{candidate, errno};
  }
  if (!fd) return PathError{candidate, EEXIST};
  if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close()) {
    return PathError{temporary.path(), errno};
  }
  if (beforeRename) beforeRename();
  // Only now does the final name appear, holding every byte.
  if (auto moved = moveWithoutReplacing(temporary.path(), path); !moved) return moved;
  temporary.release();
  return {};
}

}  // namespace sonarell::fs
