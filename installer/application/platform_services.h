#pragma once

// The installer's one binding of the platform services to this system's
// implementations. The build chooses the file that defines it
// (platform_services_linux.cpp here); main() and the tests that need the real
// services call it, and nothing else in the installer names an implementation.

#include "installer/controller/installer_controller.h"

namespace sonarell::installer {

ControllerOptions platformServices();

}  // namespace sonarell::installer
