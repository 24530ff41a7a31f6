#pragma once

// A failure as the installer shows it: domain, code and the one description a
// user reads. Descriptions are Simplified Chinese, like every text of the window,
// and carry the system's reason where there is one.

#include <string>
#include <string_view>

namespace sonarell::installer {

struct InstallerError {
  std::string domain;
  int code = 0;
  std::string description;

  friend bool operator==(const InstallerError&, const InstallerError&) = default;
};

inline constexpr std::string_view kInstallerErrorDomain = "SonarellInstaller";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr int kFileWriteUnknownError = 512;

// The system's reason for an errno value, as a short Chinese phrase without a final full stop.
std::string reasonForErrno(int error);

// The payload is incomplete (domain "SonarellInstaller", code 1).
InstallerError payloadIncompleteError();
// A folder could not be created: `folder` is the path of the one that failed.
InstallerError folderError(const std::string& folder, int error);
// The empty log file could not be created (the generic file-write error).
InstallerError fileWriteError(const std::string& file, int error);
// An existing file could not be opened for writing.
InstallerError openError(const std::string& file, int error);
// A program could not be started.
InstallerError launchError(const std::string& executable, int error);

}  // namespace sonarell::installer
