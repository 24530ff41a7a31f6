#pragma once

// This process's environment, for handing on to a child whole or changed.

#include <string>
#include <vector>

namespace sonarell::process {

// The environment now (setenv and unsetenv included), as "NAME=value" entries in its order.
std::vector<std::string> currentEnvironment();

}  // namespace sonarell::process
