#include "platform/process/replace_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/process/environment.h"

namespace sonarell::process {

Failure replaceProcess(const std::vector<std::string>& argv, const fs::UniqueFd& keep, int asFd,
                       const std::vector<std::pair<std::string, std::string>>& setEnv) {
  if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
    return Failure{"cannot run \"" + (argv.empty() ? std::string() : argv[0]) + "\": not an absolute path"};
  }
  const std::string what = "cannot run " + argv[0] + ": ";
  if (!keep || asFd < 0) return Failure{what + "no descriptor to hand over"};
  for (const auto& [name, value] : setEnv) {
    if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos ||
        value.find('\0') != std::string::npos) {
      return Failure{what + "\"" + name + "\" cannot be set in its environment"};
    }
  }
  for (const std::string& argument : argv) {
    if (argument.find('\0') != std::string::npos) return Failure{what + "an argument holds a NUL character"};
  }

  // Everything exec needs, built before anything changes.
  std::vector<std::string> environment;
  for (std::string& entry : currentEnvironment()) {
    const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& set : setEnv) replaced = replaced || set.first == name;
    if (!replaced) environment.push_back(std::move(entry));
  }
  for (const auto& [name, value] : setEnv) environment.push_back(name + "=" + value);
  std::vector<char*> args, env;
  for (const std::string& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
  args.push_back(nullptr);
  for (std::string& entry : environment) env.push_back(entry.data());
  env.push_back(nullptr);

  // Hand the descriptor over at `asFd`, keeping whatever was there so that a
  // failed exec can put it back.
  const int flags = ::fcntl(asFd, F_GETFD);
  fs::UniqueFd before;
  if (keep.get() == asFd) {
    if (::fcntl(asFd, F_SETFD, flags & ~FD_CLOEXEC) != 0) return Failure{what + std::strerror(errno)};
  } else {
    if (flags >= 0) {
      before = fs::UniqueFd(::fcntl(asFd, F_DUPFD_CLOEXEC, 0));
      if (!before) return Failure{what + std::strerror(errno)};
    }
    int result = 0;
    do {
      result = ::dup2(keep.get(), asFd);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return Failure{what + std::strerror(errno)};  // dup2 closes nothing when it fails
  }

  ::execve(args[0], args.data(), env.data());
  const int error = errno;

  if (keep.get() == asFd) {
    ::fcntl(asFd, F_SETFD, flags);
  } else if (before) {
    ::dup2(before.get(), asFd);
    ::fcntl(asFd, F_SETFD, flags);
  } else {
    ::close(asFd);
  }
  return Failure{what + std::strerror(error)};
}

}  // namespace sonarell::process
