#pragma once

// The per-user install lock: a kernel lock on a regular file, which ends with
// its holder however the holder ends, and which also recognises (and waits for,
// or clears) the symbolic-link lock the earlier installer version made.

#include <chrono>
#include <functional>
#include <string>

#include "platform/fs/unique_fd.h"
#include "platform/result/result.h"

namespace sonarell::fs {

struct LockFailure {
  enum class Kind { InTheWay, TimedOut, Failed };
  Kind kind = Kind::Failed;
  std::string reason;  // e.g. "<path> is in the way of the install lock (it is a folder); ..."
};

// An exclusive flock(2) lock on the regular file `path`, released by the kernel when every descriptor
// of it is closed, however the holder ends (SIGKILL too). The file is created (mode 0644 less umask,
// its folder and missing parents too) when missing; opened with O_NOFOLLOW|O_NONBLOCK|O_CLOEXEC so a
// FIFO never blocks. Waits at most `wait`, polling about every 100 ms, and calls `onWait` once, when it
// first has to wait. After the lock is taken, checks that `path` still names the locked file (same
// device and inode; a holder may have removed it when it ended) and otherwise starts over.
// Refused (InTheWay, nothing changed): a folder ("it is a folder"), a symbolic link that is no lock of
// the earlier installer version ("it is a symbolic link to \"TEXT\", not a lock of this installer"),
// anything else that is not a regular file ("it is a FIFO" / "a socket" / "a device" ...).
// A symbolic-link lock of the earlier version (link text: a decimal process id, optionally followed by
// a space and more text) is waited for while that process exists (kill(pid, 0) succeeds or fails with
// EPERM: another user's process still exists) and removed when it does not (the link text is read
// again right before unlinking, and unlinked only if unchanged), then the lock is taken as usual.
//
// Reasons: InTheWay "<path> is in the way of the install lock (it is a folder); nothing was changed;
// move it away and try again"; TimedOut "another install of Sonarell is still running after N
// seconds; nothing was changed; try again when it has finished" (N: `wait` in whole seconds).
// `beforeLock`, for tests, runs between opening the file and locking it: where a holder that removes the
// file as it ends is hardest to notice.
Result<UniqueFd, LockFailure> lockFile(const std::string& path, std::chrono::milliseconds wait,
                                       const std::function<void()>& onWait,
                                       const std::function<void()>& beforeLock = {});

}  // namespace sonarell::fs
