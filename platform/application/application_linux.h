#pragma once

#include "platform/application/application.h"

namespace sonarell::application {

// On macOS a command-line tool that touches the text-input services first sets up
// an application object that stays out of the Dock and the menu bar. A Linux
// desktop has neither to keep away from, and the stand-in services need no
// application object, so both calls have nothing to do. They stay in the program
// so that its start-up order reads the same on both systems.
class LinuxApplication final : public Application {
 public:
  void setActivationPolicyProhibited() override {}
  void finishLaunching() override {}
};

}  // namespace sonarell::application
