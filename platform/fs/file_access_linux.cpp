// The part of file_access.h that has no POSIX call: a rename that refuses to
// replace. Linux has it as renameat2's RENAME_NOREPLACE, reached through the
// system call since older C libraries lack a wrapper.

#include "platform/fs/file_access.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace sonarell::fs {

Result<void, PathError> moveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return {};
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return PathError{to, errno};
  if (::link(from.c_str(), to.c_str()) != 0) return PathError{to, errno};
  ::unlink(from.c_str());
  return {};
}

}  // namespace sonarell::fs
