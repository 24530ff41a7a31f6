#pragma once

// The calls of the tree operations that differ from system to system, each
// relative to folder descriptors.

namespace sonarell::fs::detail {

// Gives `from` in the folder `fromDir` the name `to` in the folder `toDir` in one
// step, never replacing anything: 0, or the errno (EEXIST when anything is at
// `to`; EINVAL, ENOSYS or ENOTSUP when the file system has no such rename, in
// which case nothing was changed).
int renameWithoutReplacing(int fromDir, const char* from, int toDir, const char* to);

// Flushes what was written to the file system holding the descriptor's file to
// the disk: 0, or the errno.
int flushFileSystem(int fd);

}  // namespace sonarell::fs::detail
