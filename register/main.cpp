// Keyloom: puts the Sonarell input method into place, registers and enables it,
// and repairs the user's enabled-source list. The Linux stand-ins of the
// platform services are bound here and nowhere else.

#include <cstdio>
#include <string>

#include "platform/application/linux_application.h"
#include "platform/fs/paths.h"
#include "platform/launchservices/linux_launch_services.h"
#include "platform/notifications/dbus_notifier.h"
#include "platform/preferences/file_preference_store.h"
#include "platform/runloop/timed_run_loop.h"
#include "platform/textinput/linux_text_input_services.h"
#include "register/dispatch.h"

int main(int argc, char** argv) {
  using namespace sonarell;
  const std::string home = fs::homeDirectory();
  preferences::FilePreferenceStore preferences(home);
  textinput::LinuxTextInputServices textInput(home);
  launchservices::LinuxLaunchServices launchServices(home);
  notifications::DBusNotifier notifier;
  runloop::TimedRunLoop runLoop;
  application::LinuxApplication application;
  keyloom::Services services{preferences, textInput, launchServices, notifier, runLoop, application};
  return keyloom::Dispatch(argc, argv, services, keyloom::Streams{stdout, stderr}, home);
}
