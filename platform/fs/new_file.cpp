#include "platform/fs/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs/unique_fd.h"

namespace sonarell::fs {

bool writeNewFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  // O_EXCL also refuses a dangling symbolic link, so nothing at the path is ever reused.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) return false;
  const bool written = writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
  const bool closed = fd.close();
  if (written && closed) return true;
  const int saved = errno;
  ::unlink(path.c_str());  // the file is ours: created above, never there before
  errno = saved;
  return false;
}

}  // namespace sonarell::fs
