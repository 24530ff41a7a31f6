#pragma once

// The installer's one window and the state behind it. The controller wires
// three parts: the view (the window and its controls), the install run (the
// script's child process and its log) and the settings hand-off. The buttons
// drive everything: install (the run), finish (its outcome), toggleLog (the
// detailed log), showSettings (the hand-off) and close. Everything here runs
// on the main thread; the run's end and the hand-off's failures reach it as
// queued signals.

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "installer/controller/installer_window.h"  // whoever embeds the controller shows its window
#include "installer/payload/installer_payload.h"
#include "installer/run/run_configuration.h"
#include "platform/notifications/distributed_notifier.h"
#include "platform/workspace/workspace.h"

namespace sonarell::installer {

class InstallRun;
class InstallerView;
class SettingsHandoff;

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

  InstallerWindow* window() const;
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
  const std::optional<std::string>& logURL() const;
  bool hasRunningProcess() const;

  // The window's question before it closes: never while a run is under way.
  bool windowShouldClose() const { return !busy_; }

 public slots:
  void install();

 private slots:
  void close();
  void toggleLog();
  void showSettings();

 private:
  // The only place where busy is cleared and success or failure shown.
  void finish(std::int32_t code, const QString& text);

  const InstallerPayload payload_;
  const Options options_;
  // The view goes first, and with it the window; a run still under way keeps
  // going on its own and its result, finding no run, is dropped.
  std::unique_ptr<SettingsHandoff> handoff_;
  std::unique_ptr<InstallRun> run_;
  std::unique_ptr<InstallerView> view_;
  QString detailedLog_;
  bool showingDetails_ = false;
  bool busy_ = false;
  std::function<void(std::int32_t)> completionObserver_;
};

}  // namespace sonarell::installer
