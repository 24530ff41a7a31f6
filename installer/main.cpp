// SonarellInstaller: the installer window.

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <filesystem>
#include <system_error>

#include "installer/application/installer_application.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  sonarell::installer::InstallerApplication delegate;

  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  const auto resources = error ? std::nullopt : sonarell::installer::resourceFolderFor(executable.string());
  if (resources) {
    // The application's own icon, which the window and its icon view show.
    QApplication::setWindowIcon(QIcon(QString::fromStdString(*resources + "/AppIcon.png")));
  }
  QTimer::singleShot(0, &delegate,
                     [&delegate, resources] { delegate.applicationDidFinishLaunching(resources); });
  const int status = QApplication::exec();
  (void)status;
  return 0;
}
