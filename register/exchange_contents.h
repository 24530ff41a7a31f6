#pragma once

// The exchange form: swaps the installed input method's Contents folder with a
// staged one in one atomic step. Only upgrades get here; every failed
// precondition is a silent status 2, a refused swap one system-error line and 1.

#include <string>

#include "register/output.h"

namespace sonarell::keyloom {

// The two arguments exactly as given; home is the user's home folder.
int ExchangeContents(const char* installed, const char* staged, const std::string& home, Streams streams);

}  // namespace sonarell::keyloom
