#include "installer/application/installer_application.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

namespace sonarell::installer {

std::optional<std::string> resourceFolderFor(const std::string& executablePath) {
  const std::string_view path(executablePath);
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view folder = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
  constexpr std::string_view kInBundle = ".app/Contents/MacOS";
  if (folder.size() > kInBundle.size() && folder.ends_with(kInBundle) &&
      folder[folder.size() - kInBundle.size() - 1] != '/') {
    std::string resources(folder.substr(0, folder.size() - std::string_view("MacOS").size()));
    resources.append("Resources");
    return resources;
  }
  return std::string(folder);
}

InstallerApplication::InstallerApplication()
    : signals_([](int) {
        // A quit request like any other: the event filter decides.
        QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
      }) {
  if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
  QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
}

InstallerApplication::~InstallerApplication() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

bool InstallerApplication::applicationShouldTerminate() const {
  return controller_ == nullptr || !controller_->busy();
}

bool InstallerApplication::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
    if (!applicationShouldTerminate()) {
      event->ignore();
      return true;  // cancelled: the run goes on, nothing is queued for later
    }
  }
  return QObject::eventFilter(watched, event);
}

void InstallerApplication::applicationDidFinishLaunching(const std::optional<std::string>& resources,
                                                         InstallerController::Options options) {
  if (!resources) {
    QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
    return;
  }
  controller_ = std::make_unique<InstallerController>(InstallerPayload(*resources), std::move(options));
  QWidget* window = controller_->window();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
  }
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace sonarell::installer
