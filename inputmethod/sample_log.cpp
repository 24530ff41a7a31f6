#include "inputmethod/sample_log.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/fs/unique_fd.h"

namespace sonarell::sample {

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return home;
  }
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

std::string logPath(const std::string& home) { return home + "/Library/Logs/Sonarell/InputMethod.log"; }

bool appendLogLine(const std::string& home, std::string_view text) {
  const std::filesystem::path path = logPath(home);
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) {
    return false;
  }
  fs::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) {
    return false;
  }

  char stamp[32] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    stamp[0] = '\0';
  }
  std::string line = stamp;
  line += " pid ";
  line += std::to_string(::getpid());
  line += ": ";
  line += text;
  line += '\n';

  // O_APPEND makes each write land at the end as a whole; retry only on EINTR.
  ssize_t written = 0;
  do {
    written = ::write(fd.get(), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(line.size());
}

}  // namespace sonarell::sample
