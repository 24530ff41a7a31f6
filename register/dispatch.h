#pragma once

// The command line: which form an invocation is, the application set-up and the
// check of the bundle for the forms that name one, and the hand-off to the work.

#include <optional>
#include <string>

#include "register/output.h"
#include "register/services.h"

namespace sonarell::keyloom {

// The bundle folder the app-path names, made absolute against the working
// directory; none when the argument is empty or not valid UTF-8. A bundle whose
// identifier is not ours is refused by the caller.
std::optional<std::string> BundlePathFromArgument(const char* argument);

// argv as main() receives it (argv[0] the program). Returns the exit status.
int Dispatch(int argc, const char* const* argv, Services& services, Streams streams, const std::string& home);

}  // namespace sonarell::keyloom
