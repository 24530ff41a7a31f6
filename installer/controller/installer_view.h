#pragma once

// The installer window's content. Every control is created with the window as
// its parent, so the window owns them from the start; construction places,
// styles and stacks them once. The states below change only what is shown:
// which variant is offered, a run under way, its outcome, the log area's two
// modes and the status line. What happens on a press is the controller's.

#include <QString>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;

namespace sonarell::installer {

class InstallerWindow;
class LogTextView;
class StatusLabel;

class InstallerView {
 public:
  // `version`: the payload's version, shown after the footer's text.
  explicit InstallerView(const QString& version);
  ~InstallerView();
  InstallerView(const InstallerView&) = delete;
  InstallerView& operator=(const InstallerView&) = delete;

  InstallerWindow* window() const { return window_.get(); }
  QPushButton* action() const { return action_; }
  QPushButton* openSettings() const { return openSettings_; }
  QPushButton* closeButton() const { return closeButton_; }
  QPushButton* logToggle() const { return logToggle_; }

  // The texts of a fresh install, or of an update when a copy is installed.
  void showVariant(bool installed);
  // A run under way: nothing to press, the moving bar; and, once its log is
  // open, the running text in the log area.
  void showRunning();
  void showRunningLog();
  // A run's outcome: its texts, the buttons it leaves and the log area's summary.
  void showOutcome(bool succeeded);
  // The log area's two modes: the whole log in a fixed font, or the summary
  // of the status and detail texts.
  void showLog(bool details, const QString& detailedLog);
  // The status line, announced to assistive technology as it changes.
  void setStatus(const QString& text);

 private:
  // The window first: the controls are its children and go with it.
  std::unique_ptr<InstallerWindow> window_;
  QLabel* detail_ = nullptr;
  StatusLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  LogTextView* logView_ = nullptr;
  QPushButton* logToggle_ = nullptr;
  QPushButton* action_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QPushButton* openSettings_ = nullptr;
};

}  // namespace sonarell::installer
