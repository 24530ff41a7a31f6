// After a successful install: open the installed input method's settings.

#include <QCoreApplication>
#include <QPointer>
#include <cerrno>

#include "installer/controller/installer_controller.h"
#include "installer/controller/texts.h"
#include "installer/errors/installer_error.h"

namespace sonarell::installer {

namespace {

std::string describe(const workspace::OpenError& error) {
  const std::string name = "\u201C" + std::string("Sonarell.app") + "\u201D";
  switch (error.kind) {
    case workspace::OpenError::Kind::NoBundle:
      return error.posixError == ENOENT
                 ? "找不到应用程序" + name + "。"
                 : "应用程序" + name + "已损坏或不完整" +
                       (error.posixError != 0 ? "：" + reasonForErrno(error.posixError) : "") + "。";
    case workspace::OpenError::Kind::NoExecutable:
      return "应用程序" + name + "缺少可执行文件" +
             (error.posixError != 0 ? "：" + reasonForErrno(error.posixError) : "") + "。";
    case workspace::OpenError::Kind::LaunchFailed:
      return launchError(error.path, error.posixError).description;
  }
  return {};
}

}  // namespace

void InstallerController::showSettings() {
  if (!options_.workspace || !options_.notifier) {
    status_->setText(QString::fromUtf8(texts::kSettingsFailurePrefix) +
                     QString::fromStdString(describe(
                         {workspace::OpenError::Kind::LaunchFailed, ENOSYS, InstallerPayload::target()})));
    return;
  }

  // The completion runs on the workspace's thread: it posts the notification
  // there, and hands any window change to the main thread.
  QPointer<InstallerController> controller(this);
  auto notifier = options_.notifier;
  options_.workspace->openApplication(InstallerPayload::target(), {texts::kSettingsArgument},
                                      [controller, notifier](std::optional<workspace::OpenError> error) {
                                        if (!error) {
                                          notifier->post(texts::kShowSettingsNotification);
                                          return;
                                        }
                                        QCoreApplication* app = QCoreApplication::instance();
                                        if (app == nullptr) return;
                                        const QString text =
                                            QString::fromUtf8(texts::kSettingsFailurePrefix) +
                                            QString::fromStdString(describe(*error));
                                        QMetaObject::invokeMethod(
                                            app,
                                            [controller, text]() {
                                              if (controller) controller->status_->setText(text);
                                            },
                                            Qt::QueuedConnection);
                                      });
}

}  // namespace sonarell::installer
