#include "platform/process/environment.h"

extern char** environ;

namespace sonarell::process {

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> result;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) result.emplace_back(*e);
  return result;
}

}  // namespace sonarell::process
