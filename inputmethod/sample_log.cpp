#include "inputmethod/sample_log.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/fs/file_access.h"
#include "platform/fs/paths.h"

namespace sonarell::sample {

std::string homeFolder() {
  std::string home = fs::homeDirectory();
  return home.empty() ? "/" : home;
}

std::string logPath(const std::string& home) { return home + "/Library/Logs/Sonarell/InputMethod.log"; }

bool appendLogLine(const std::string& home, std::string_view text) {
  const std::filesystem::path path = logPath(home);
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) {
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
  line += std::to_string(fs::currentProcessId());
  line += ": ";
  line += text;
  line += '\n';

  return fs::appendToFile(path.string(), line).ok();
}

}  // namespace sonarell::sample
