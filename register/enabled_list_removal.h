#pragma once

// The removal of our records from the user's enabled-source list: our sources
// disabled through the text-input services, every other record kept in its
// place, a backup first, and the same checks for other writers as the repair.

#include <string>

#include "register/output.h"
#include "register/services.h"

namespace sonarell::keyloom {

// The exit status: 0 when the list holds no record of ours and that was
// verified (or there was none to begin with), 1 otherwise; 1 with nothing
// changed when the preference file cannot be read.
int RemoveFromEnabledList(const std::string& backupPath, Services& services, Streams streams);

}  // namespace sonarell::keyloom
