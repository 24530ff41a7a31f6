#include "platform/workspace/workspace_linux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/bundle/bundle.h"
#include "platform/fs/paths.h"
#include "platform/process/child_process.h"
#include "platform/process/environment.h"

namespace sonarell::workspace {

Result<void, OpenError> LinuxWorkspace::openNow(const std::string& bundlePath,
                                                const std::vector<std::string>& arguments) {
  struct stat st {};
  if (::stat(bundlePath.c_str(), &st) != 0) return OpenError{OpenError::Kind::NoBundle, errno, bundlePath};
  if (!S_ISDIR(st.st_mode)) return OpenError{OpenError::Kind::NoBundle, ENOTDIR, bundlePath};
  auto info = bundle::infoDictionary(bundlePath);
  if (!info) return OpenError{OpenError::Kind::NoBundle, 0, bundlePath};

  const plist::Value* name = info->find("CFBundleExecutable");
  if (name == nullptr || !name->isString() || name->asString()->empty() ||
      name->asString()->find('/') != std::string::npos) {
    return OpenError{OpenError::Kind::NoExecutable, 0, bundlePath};
  }
  const std::string executable =
      fs::appendingPathComponent(fs::appendingPathComponent(bundlePath, "Contents/MacOS"), *name->asString());
  if (::stat(executable.c_str(), &st) != 0)
    return OpenError{OpenError::Kind::NoExecutable, errno, executable};
  if (!S_ISREG(st.st_mode)) return OpenError{OpenError::Kind::NoExecutable, EACCES, executable};
  if (::access(executable.c_str(), X_OK) != 0)
    return OpenError{OpenError::Kind::NoExecutable, errno, executable};

  process::LaunchConfiguration configuration;
  configuration.executable = executable;
  configuration.arguments = arguments;
  configuration.environment = process::currentEnvironment();
  configuration.detached = true;
  // The object goes at once; its watcher stays behind to reap the application
  // whenever it ends, so a detached start leaves no zombie.
  auto started = process::ChildProcess::start(configuration, nullptr);
  if (!started) return OpenError{OpenError::Kind::LaunchFailed, started.error().posixError, executable};
  return {};
}

void LinuxWorkspace::openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                                     Completion completion) {
  try {
    std::thread([bundlePath, arguments, completion]() {
      // An exception leaving this thread would end the whole process.
      try {
        auto opened = openNow(bundlePath, arguments);
        if (completion) completion(std::move(opened));
      } catch (...) {
      }
    }).detach();
  } catch (const std::system_error& e) {
    // No thread to report from: report here rather than never.
    if (completion) completion(OpenError{OpenError::Kind::LaunchFailed, e.code().value(), bundlePath});
  } catch (...) {
    if (completion) completion(OpenError{OpenError::Kind::LaunchFailed, ENOMEM, bundlePath});
  }
}

}  // namespace sonarell::workspace
