#include "installer/run/run_configuration.h"

namespace sonarell::installer {

void setVariable(std::vector<std::string>& environment, const std::string& name, const std::string& value) {
  const std::string prefix = name + "=";
  bool replaced = false;
  for (auto it = environment.begin(); it != environment.end();) {
    if (it->compare(0, prefix.size(), prefix) == 0) {
      if (replaced) {
        it = environment.erase(it);  // a duplicate must not shadow the value we set
        continue;
      }
      *it = prefix + value;
      replaced = true;
    }
    ++it;
  }
  if (!replaced) environment.push_back(prefix + value);
}

process::LaunchConfiguration makeRunConfiguration(const InstallerPayload& payload, bool update,
                                                  std::vector<std::string> inherited,
                                                  const std::string& homeDirectory,
                                                  const std::string& interpreter) {
  process::LaunchConfiguration c;
  c.executable = interpreter;
  c.arguments = {payload.script(), "--repair-enabled-list", "--no-open"};
  if (update) c.arguments.emplace_back("--update");
  setVariable(inherited, "IPA_MAC_APP", payload.app());
  setVariable(inherited, "IPA_REGISTRATION_APP", payload.helper());
  setVariable(inherited, "PATH", kScriptSearchPath);
  c.environment = std::move(inherited);
  c.workingDirectory = homeDirectory;
  return c;
}

}  // namespace sonarell::installer
