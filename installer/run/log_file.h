#pragma once

// The per-run log file: its folder under the home folder, a fresh upper-case UUID
// name, created empty and then opened for writing, each step with its own failure.
// Creation never overwrites: an earlier run's log is never touched.

#include <string>

#include "installer/errors/installer_error.h"
#include "platform/fs/unique_fd.h"
#include "platform/result/result.h"

namespace sonarell::installer {

inline constexpr const char* kLogFolder = "Library/Logs/Sonarell/Installer";

// Creates `folder` and every missing parent (mode 0777 less the umask). An existing folder is fine.
Result<void, InstallerError> createFolder(const std::string& folder);

// A new random UUID in canonical upper-case form (8-4-4-4-12).
std::string newUuid();

// Creates `path` empty; fails if anything already exists there.
Result<void, InstallerError> createEmptyFile(const std::string& path);

// Opens an existing file for writing at offset 0. The descriptor is close-on-exec:
// the child gets it only as its standard streams.
Result<fs::UniqueFd, InstallerError> openForWriting(const std::string& path);

}  // namespace sonarell::installer
