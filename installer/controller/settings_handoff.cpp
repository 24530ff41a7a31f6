#include "installer/controller/settings_handoff.h"

#include <QCoreApplication>
#include <QPointer>
#include <cerrno>

#include "installer/controller/texts.h"
#include "installer/errors/installer_error.h"
#include "installer/payload/installer_payload.h"

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

QString failureStatus(const workspace::OpenError& error) {
  return QString::fromUtf8(texts::kSettingsFailurePrefix) + QString::fromStdString(describe(error));
}

}  // namespace

SettingsHandoff::SettingsHandoff(std::shared_ptr<workspace::Workspace> workspace,
                                 std::shared_ptr<notifications::DistributedNotifier> notifier)
    : workspace_(std::move(workspace)), notifier_(std::move(notifier)) {}

void SettingsHandoff::open() {
  if (!workspace_ || !notifier_) {
    emit failed(
        failureStatus({workspace::OpenError::Kind::LaunchFailed, ENOSYS, InstallerPayload::target()}));
    return;
  }

  // The completion runs on the workspace's thread: it posts the notification
  // there, and hands a failure to the main thread.
  QPointer<SettingsHandoff> handoff(this);
  auto notifier = notifier_;
  workspace_->openApplication(InstallerPayload::target(), {texts::kSettingsArgument},
                              [handoff, notifier](Result<void, workspace::OpenError> opened) {
                                if (opened) {
                                  notifier->post(texts::kShowSettingsNotification);
                                  return;
                                }
                                QCoreApplication* app = QCoreApplication::instance();
                                if (app == nullptr) return;
                                QMetaObject::invokeMethod(
                                    app,
                                    [handoff, text = failureStatus(opened.error())]() {
                                      if (handoff) emit handoff->failed(text);
                                    },
                                    Qt::QueuedConnection);
                              });
}

}  // namespace sonarell::installer
