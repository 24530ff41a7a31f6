#pragma once

// Opening application bundles, the way a desktop's workspace does: the bundle's
// Contents/MacOS/<CFBundleExecutable> is started detached (its own session,
// standard streams on /dev/null) with the given arguments.

#include <functional>
#include <string>
#include <vector>

#include "platform/result/result.h"

namespace sonarell::workspace {

struct OpenError {
  enum class Kind {
    NoBundle,      // nothing at the path, or no readable Contents/Info.plist dictionary
    NoExecutable,  // no CFBundleExecutable, or no executable file under Contents/MacOS
    LaunchFailed,  // the start itself failed
  };
  Kind kind = Kind::NoBundle;
  int posixError = 0;  // the system's reason where there is one, 0 otherwise
  std::string path;    // the bundle, or the executable for NoExecutable / LaunchFailed
};

class Workspace {
 public:
  // Called once, on a thread that is not the caller's, with success or the reason
  // the application was not opened.
  using Completion = std::function<void(Result<void, OpenError>)>;

  virtual ~Workspace() = default;
  virtual void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                               Completion completion) = 0;
};

}  // namespace sonarell::workspace
