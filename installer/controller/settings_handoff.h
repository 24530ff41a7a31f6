#pragma once

// After a successful install: open the installed input method with the
// settings argument and, once it is open, post the notification that shows its
// settings window. A failure is reported as the status text that explains it,
// on the main thread (`failed`).

#include <QObject>
#include <QString>
#include <memory>

#include "platform/notifications/distributed_notifier.h"
#include "platform/workspace/workspace.h"

namespace sonarell::installer {

class SettingsHandoff : public QObject {
  Q_OBJECT

 public:
  // Without both services every hand-off fails: there is nothing to open with.
  SettingsHandoff(std::shared_ptr<workspace::Workspace> workspace,
                  std::shared_ptr<notifications::DistributedNotifier> notifier);

  // Each call repeats the whole hand-off.
  void open();

 signals:
  void failed(const QString& status);

 private:
  std::shared_ptr<workspace::Workspace> workspace_;
  std::shared_ptr<notifications::DistributedNotifier> notifier_;
};

}  // namespace sonarell::installer
