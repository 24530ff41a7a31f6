#pragma once

// The forms that do the install script's work on files and processes: the
// install lock, copies, backups, their names and order, what interrupted runs
// left, the version of a bundle and opening it. Each returns the exit status:
// 0 done, 1 failed (one reason line on the error stream), 2 for a value the form
// refuses before doing anything (the form's usage line).

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/workspace/workspace.h"
#include "register/output.h"

namespace sonarell::keyloom {

// "Usage: Keyloom --copy-tree <from> <to>" and so on, for the form `option`.
std::string FormUsage(std::string_view option);

// Takes the install lock at `lockFile`, waiting at most `seconds` (a decimal
// number, at most a day), and replaces this process with `program` (absolute)
// run with `arguments`, holding the lock on kInstallLockFd. Returns only when
// that fails: 75 when the wait ran out, 1 otherwise.
int RunLocked(const std::string& lockFile, const std::string& seconds,
              const std::vector<std::string>& program, Streams streams);

// A copy that is the user's own, checked against its source.
int CopyTree(const std::string& from, const std::string& to, Streams streams);

// A full backup of the bundle in the folder under a new name, made under a
// hidden name and only then given its own; prints its path.
int BackUp(const std::string& bundle, const std::string& folder, std::chrono::system_clock::time_point now,
           Streams streams);

// The bundle moved into the folder under a new backup name; prints its path.
int MoveToBackups(const std::string& bundle, const std::string& folder,
                  std::chrono::system_clock::time_point now, Streams streams);

// The path for a new backup of the enabled list in the folder.
int ListBackupName(const std::string& folder, std::chrono::system_clock::time_point now, Streams streams);

// The newest backup of Sonarell in the folder that is a real bundle folder and
// does not hold the same tree as `installed` (when given and present).
int NewestBackup(const std::string& folder, const std::optional<std::string>& installed, Streams streams);

// Removes what interrupted runs left in the two folders, one line per item.
int Sweep(const std::string& inputMethods, const std::string& backups,
          std::chrono::system_clock::time_point now, Streams streams);

// The bundle's CFBundleShortVersionString, safe for a file name, or "unknown".
std::string BundleVersion(const std::string& bundle);
int PrintBundleVersion(const std::string& bundle, Streams streams);

// Opens the bundle through the workspace, waiting at most `wait` for the start.
inline constexpr std::chrono::milliseconds kOpenWait{10'000};
int OpenBundle(const std::string& bundle, workspace::Workspace& workspace, Streams streams,
               std::chrono::milliseconds wait = kOpenWait);

}  // namespace sonarell::keyloom
