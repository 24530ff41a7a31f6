#pragma once

// What the installer installs and where: the payload folder's three items and the
// installed location in the current user's home folder. Only `root` is stored;
// everything else is derived afresh on each access, so nothing goes stale.

#include <string>

#include "installer/errors/installer_error.h"
#include "platform/result/result.h"

namespace sonarell::installer {

class InstallerPayload {
 public:
  explicit InstallerPayload(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }
  std::string app() const;     // root + Payload/Sonarell.app
  std::string helper() const;  // root + Registration/Keyloom.app
  std::string script() const;  // root + Scripts/install-macos.sh
  // Home folder + Library/Input Methods/Sonarell.app, whatever the root.
  static std::string target();

  // Something (anything, following a symbolic link) exists at target().
  static bool installed();

  // Success when complete; the payload error at the first missing item otherwise.
  Result<void, InstallerError> validate() const;

 private:
  std::string root_;
};

// Joins path components with exactly one separator between them.
std::string joinPath(const std::string& folder, const std::string& relative);

}  // namespace sonarell::installer
