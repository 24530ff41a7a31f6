#include "installer/application/platform_services.h"

#include <memory>

#include "platform/notifications/distributed_notifier_linux.h"
#include "platform/workspace/workspace_linux.h"

namespace sonarell::installer {

ControllerOptions platformServices() {
  ControllerOptions options;
  options.workspace = std::make_shared<workspace::LinuxWorkspace>();
  options.notifier = std::make_shared<notifications::DBusNotifier>();
  return options;
}

}  // namespace sonarell::installer
