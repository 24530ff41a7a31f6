// The installer's start as main() does it, plus one line on standard output once
// the window is exposed, so that a driver can time process start to window shown.

#include <QApplication>
#include <QIcon>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "installer/application/installer_application.h"
#include "installer/application/platform_services.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  sonarell::installer::InstallerApplication delegate;
  const std::string resources = argc > 1 ? argv[1] : ".";
  QApplication::setWindowIcon(QIcon(QString::fromStdString(resources + "/AppIcon.png")));
  QTimer::singleShot(0, &delegate, [&] {
    delegate.applicationDidFinishLaunching(resources, sonarell::installer::platformServices());
    if (QTest::qWaitForWindowExposed(delegate.controller()->window())) {
      std::puts("shown");
      std::fflush(stdout);
    }
    QCoreApplication::exit(0);
  });
  return QApplication::exec();
}
