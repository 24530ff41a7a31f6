#include "platform/fs/tree_calls.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace sonarell::fs::detail {

int renameWithoutReplacing(int fromDir, const char* from, int toDir, const char* to) {
  // Called through syscall so that a C library older than the kernel call still builds.
  if (::syscall(SYS_renameat2, fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  return errno;
}

int flushFileSystem(int fd) { return ::syncfs(fd) == 0 ? 0 : errno; }

}  // namespace sonarell::fs::detail
