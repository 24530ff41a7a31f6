#pragma once

// Folders, files and locks the programs make and read, each failure carrying the
// system's reason (an errno value).

#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/unique_fd.h"
#include "platform/result/result.h"

namespace sonarell::fs {

struct PathError {
  std::string path;  // the item that could not be made or opened
  int error = 0;     // errno
};

// Creates `folder` and every missing parent (mode 0777 less the umask), walking
// down from the top so that the error names the folder that really could not be
// made. An existing folder is fine; something else in the way is EEXIST.
Result<void, PathError> makeFolders(const std::string& folder);

// Creates the one folder `path` with `mode` (less the umask). Success also when a
// folder is there already; an error when something else is.
Result<void, PathError> makeFolder(const std::string& path, unsigned mode);

// Creates `path` empty (mode 0666 less the umask); fails if anything exists there.
Result<void, PathError> createEmptyFile(const std::string& path);

// Opens an existing file for writing at offset 0. The descriptor is close-on-exec
// and never becomes a controlling terminal.
Result<UniqueFd, PathError> openExistingForWriting(const std::string& path);

// Appends the bytes in one write, creating the file (mode 0644) when missing, so
// that lines from several processes never interleave. An error when not all of
// them were written (EIO for a short write).
Result<void, PathError> appendToFile(const std::string& path, std::string_view bytes);

// Why an advisory lock was not had: another process holds it, or it could not
// be tried at all (the lock file or its folder could not be made or opened).
struct LockError {
  enum class Kind { HeldElsewhere, Failed };
  Kind kind = Kind::Failed;
  PathError cause;  // the item that failed and errno (EWOULDBLOCK when held elsewhere)
};

// An advisory lock on `path` (created, mode 0644, when missing) held exclusively
// by this process for as long as the returned descriptor is open. Tries once,
// without waiting.
Result<UniqueFd, LockError> tryLockExclusive(const std::string& path);

// Gives the file at `from` the name `to` in one step unless anything is at `to`
// already (EEXIST then, both names unchanged); an error names `to`, the name that
// was not given. A file system without an exclusive rename gets a hard link and
// then loses `from`; either way `from` is gone after a success. The one call
// here that differs by system: it lives in file_access_linux.cpp (renameat2 with
// RENAME_NOREPLACE).
Result<void, PathError> moveWithoutReplacing(const std::string& from, const std::string& to);

// The process's working folder; none when it cannot be told.
std::optional<std::string> currentDirectory();

// The running process's identifier.
long currentProcessId();

}  // namespace sonarell::fs
