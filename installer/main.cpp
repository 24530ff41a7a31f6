// SonarellInstaller: the installer window. The platform services are bound in
// platformServices(), which the build takes from this system's file.

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "installer/application/installer_application.h"
#include "installer/application/platform_services.h"
#include "platform/bundle/main_bundle.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  sonarell::installer::InstallerApplication delegate;

  const auto executable = sonarell::bundle::mainExecutablePath();
  const auto resources = executable ? sonarell::installer::resourceFolderFor(*executable) : std::nullopt;
  if (resources) {
    // The application's own icon, which the window and its icon view show.
    QApplication::setWindowIcon(QIcon(QString::fromStdString(*resources + "/AppIcon.png")));
  }
  QTimer::singleShot(0, &delegate, [&delegate, resources] {
    delegate.applicationDidFinishLaunching(resources, sonarell::installer::platformServices());
  });
  const int status = QApplication::exec();
  (void)status;
  return 0;
}
