#pragma once

// The Linux stand-in for the workspace: the bundle's executable is started
// detached (its own session, standard streams on /dev/null), on a thread of its own.

#include <string>
#include <vector>

#include "platform/workspace/workspace.h"

namespace sonarell::workspace {

class LinuxWorkspace : public Workspace {
 public:
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       Completion completion) override;

  // The same checks and start, on the caller's thread.
  static Result<void, OpenError> openNow(const std::string& bundlePath,
                                         const std::vector<std::string>& arguments);
};

}  // namespace sonarell::workspace
