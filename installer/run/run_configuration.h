#pragma once

// The install script's child process: interpreter, argument vector, environment
// and working directory, built from the payload at the moment of the press.

#include <string>
#include <vector>

#include "installer/payload/installer_payload.h"
#include "platform/process/child_process.h"

namespace sonarell::installer {

inline constexpr const char* kInterpreter = "/bin/bash";
inline constexpr const char* kScriptSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin";

// `inherited` with NAME set to `value`: replaced in place where present, appended otherwise.
void setVariable(std::vector<std::string>& environment, const std::string& name, const std::string& value);

// Everything but the output descriptor, which the run adds once its log is open.
process::LaunchConfiguration makeRunConfiguration(const InstallerPayload& payload, bool update,
                                                  std::vector<std::string> inherited,
                                                  const std::string& homeDirectory,
                                                  const std::string& interpreter = kInterpreter);

}  // namespace sonarell::installer
