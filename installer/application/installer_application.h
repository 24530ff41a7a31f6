#pragma once

// The application delegate: builds the window when launching has finished and
// answers the quit rules. A quit request (QEvent::Quit reaching the application,
// or SIGTERM / SIGINT / SIGHUP) is granted unless a run is under way.

#include <QObject>
#include <memory>
#include <optional>
#include <string>

#include "installer/application/signal_pipe.h"
#include "installer/controller/installer_controller.h"

namespace sonarell::installer {

// Where the main bundle's resources lie for an executable at `executablePath`:
// X.app/Contents/Resources for X.app/Contents/MacOS/<exe>, the executable's own
// folder otherwise. None when the path says nothing.
std::optional<std::string> resourceFolderFor(const std::string& executablePath);

class InstallerApplication : public QObject {
  Q_OBJECT

 public:
  // Filters the application's events from construction on and takes over the quit signals.
  InstallerApplication();
  ~InstallerApplication() override;

  // Builds the payload from `resources` and the controller, centres and shows its
  // window. With no resource folder it asks the application to quit instead.
  void applicationDidFinishLaunching(const std::optional<std::string>& resources,
                                     InstallerController::Options options = {});

  static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
  bool applicationShouldTerminate() const;

  InstallerController* controller() const { return controller_.get(); }
  bool signalsActive() const { return signals_.active(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<InstallerController> controller_;
  SignalPipe signals_;
};

}  // namespace sonarell::installer
