#include "platform/bundle/main_bundle.h"

#include <filesystem>
#include <system_error>

namespace sonarell::bundle {

std::optional<std::string> mainExecutablePath() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || executable.empty()) return std::nullopt;
  return executable.string();
}

}  // namespace sonarell::bundle
