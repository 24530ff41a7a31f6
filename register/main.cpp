// Keyloom: puts the Sonarell input method into place, registers and enables it,
// repairs the user's enabled-source list or takes Sonarell out of it. The Linux
// stand-ins of the platform services are bound here and nowhere else.

#include <cstdio>
#include <string>

#include "platform/application/application_linux.h"
#include "platform/fs/paths.h"
#include "platform/launchservices/launch_services_linux.h"
#include "platform/notifications/distributed_notifier_linux.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "platform/runloop/run_loop_linux.h"
#include "platform/textinput/text_input_services_linux.h"
#include "platform/workspace/workspace_linux.h"
#include "register/dispatch.h"

int main(int argc, char** argv) {
  using namespace sonarell;
  // One line at a time, so that in a log that takes both streams an error line
  // comes after the records printed before it; nothing flushes explicitly.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  const std::string home = fs::homeDirectory();
  preferences::FilePreferenceStore preferences(home);
  textinput::LinuxTextInputServices textInput(home);
  launchservices::LinuxLaunchServices launchServices(home);
  notifications::DBusNotifier notifier;
  runloop::TimedRunLoop runLoop;
  application::LinuxApplication application;
  workspace::LinuxWorkspace workspace;
  keyloom::Services services{preferences, textInput,   launchServices, notifier,
                             runLoop,     application, &workspace};
  return keyloom::Dispatch(argc, argv, services, keyloom::Streams{stdout, stderr}, home);
}
