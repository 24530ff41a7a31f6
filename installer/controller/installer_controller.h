#pragma once

// The installer's one window and the state behind it. Construction builds the
// whole window (buildView) and picks the fresh-install or update texts; the
// buttons then drive everything: install (the run), finish (its outcome),
// toggleLog (the detailed log), showSettings (the hand-off) and close.
// Everything here runs on the main thread; the run's end and the hand-off's
// completion reach it through queued jobs guarded by a QPointer.

#include <QLabel>
#include <QObject>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "installer/controller/installer_window.h"
#include "installer/controller/log_text_view.h"
#include "installer/payload/installer_payload.h"
#include "installer/run/run_configuration.h"
#include "platform/notifications/distributed_notifier.h"
#include "platform/process/child_process.h"
#include "platform/workspace/workspace.h"

namespace sonarell::installer {

struct ControllerOptions {
  // The interpreter the script runs under. Only tests change it.
  std::string interpreter = kInterpreter;
  // The settings hand-off's services, bound by platformServices() (or a test's
  // substitutes). Without them the hand-off reports that it cannot open anything.
  std::shared_ptr<workspace::Workspace> workspace;
  std::shared_ptr<notifications::DistributedNotifier> notifier;
};

class InstallerController : public QObject {
  Q_OBJECT

 public:
  using Options = ControllerOptions;

  explicit InstallerController(InstallerPayload payload, Options options = {});
  ~InstallerController() override;

  InstallerWindow* window() const { return window_.get(); }
  bool busy() const { return busy_; }
  const InstallerPayload& payload() const { return payload_; }

  // Learns the code of every outcome, last thing in finish. Nothing in the
  // application sets it; an embedding caller or a test may.
  void setCompletionObserver(std::function<void(std::int32_t)> observer) {
    completionObserver_ = std::move(observer);
  }

  // Read-only views of the run's state, for whoever embeds the controller.
  const QString& detailedLog() const { return detailedLog_; }
  bool showingDetails() const { return showingDetails_; }
  const std::optional<std::string>& logURL() const { return logURL_; }
  bool hasRunningProcess() const { return runningProcess_ != nullptr; }

  // The window's question before it closes: never while a run is under way.
  bool windowShouldClose() const { return !busy_; }

 public slots:
  void install();

 private slots:
  void close();
  void toggleLog();
  void showSettings();

 private:
  void buildView();
  void finish(std::int32_t code, const QString& text);
  // The termination handler's job, back on the main thread.
  void runEnded(std::int32_t code, const QString& text);

  // 1 payload, 2 window, 3-10 controls (owned by the window), 11-16 run state.
  const InstallerPayload payload_;
  std::unique_ptr<InstallerWindow> window_;
  QPushButton* action_ = nullptr;
  QPushButton* openSettings_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* detail_ = nullptr;
  QProgressBar* progress_ = nullptr;
  LogTextView* logView_ = nullptr;
  QPushButton* logToggle_ = nullptr;
  QString detailedLog_;
  bool showingDetails_ = false;
  bool busy_ = false;
  std::optional<std::string> logURL_;
  std::unique_ptr<process::ChildProcess> runningProcess_;
  std::function<void(std::int32_t)> completionObserver_;

  Options options_;
};

}  // namespace sonarell::installer
