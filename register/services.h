#pragma once

// The platform services a run reaches, as references: main() binds them to the
// Linux stand-ins, the tests to substitutes.

#include "platform/application/application.h"
#include "platform/launchservices/launch_services.h"
#include "platform/notifications/distributed_notifier.h"
#include "platform/preferences/preference_store.h"
#include "platform/runloop/run_loop.h"
#include "platform/textinput/text_input_services.h"
#include "platform/workspace/workspace.h"

namespace sonarell::keyloom {

struct Services {
  preferences::PreferenceStore& preferences;
  textinput::TextInputServices& textInput;
  launchservices::LaunchServices& launchServices;
  notifications::DistributedNotifier& notifier;
  runloop::RunLoop& runLoop;
  application::Application& application;
  // Only the form that opens a bundle needs one; main() binds it.
  workspace::Workspace* workspace = nullptr;
};

}  // namespace sonarell::keyloom
