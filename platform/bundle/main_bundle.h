#pragma once

// The running program's own executable, from which its bundle's folders follow.

#include <optional>
#include <string>

namespace sonarell::bundle {

// The absolute path of the running executable; none when the system will not say.
std::optional<std::string> mainExecutablePath();

}  // namespace sonarell::bundle
