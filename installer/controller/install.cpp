// The install run: guard, running state, child configuration, the log file and the launch.

#include <QCoreApplication>
#include <QPointer>

#include "installer/controller/installer_controller.h"
#include "installer/controller/texts.h"
#include "installer/run/log_file.h"
#include "installer/run/log_reader.h"
#include "platform/fs/paths.h"

namespace sonarell::installer {

namespace {

QString describe(const InstallerError& error) { return QString::fromStdString(error.description); }

}  // namespace

void InstallerController::install() {
  if (busy_) return;
  if (auto error = payload_.validate()) {
    finish(1, describe(*error));
    return;
  }

  busy_ = true;
  action_->setEnabled(false);
  closeButton_->setEnabled(false);
  status_->setText(QString::fromUtf8(texts::kRunningStatus));
  progress_->setVisible(true);

  const std::string home = fs::homeDirectory();
  process::LaunchConfiguration configuration = makeRunConfiguration(
      payload_, InstallerPayload::installed(), currentEnvironment(), home, options_.interpreter);

  const std::string folder = joinPath(home, kLogFolder);
  if (auto error = createFolder(folder)) {
    finish(1, describe(*error));
    return;
  }
  const std::string logPath = joinPath(folder, newUuid() + ".log");
  if (auto error = createEmptyFile(logPath)) {
    finish(1, describe(*error));
    return;
  }
  auto opened = openForWriting(logPath);
  if (auto* error = std::get_if<InstallerError>(&opened)) {
    finish(1, describe(*error));
    return;
  }
  // The handler owns the descriptor from here on: whichever way the run ends, it
  // is closed exactly once (by the handler, or with it when the launch fails).
  auto log = std::make_shared<fs::UniqueFd>(std::move(std::get<fs::UniqueFd>(opened)));
  logURL_ = logPath;
  configuration.outputFd = log->get();
  logView_->setPlainText(QString::fromUtf8(texts::kRunningLog));

  QPointer<InstallerController> controller(this);
  auto handler = [log, logPath, controller](const process::Termination& termination) noexcept {
    log->reset();
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    const std::int32_t code = termination.code;
    // Nothing may escape this thread: a log that does not fit in memory, or a
    // post that cannot allocate, must still end the run with its exit status.
    // The short text is tried again on its own when the whole log could not go.
    const auto post = [&](QString text) {
      QMetaObject::invokeMethod(
          app,
          [controller, code, text = std::move(text)]() {
            if (controller) controller->runEnded(code, text);
          },
          Qt::QueuedConnection);
    };
    try {
      std::optional<QString> text = readLog(logPath);
      post(text ? std::move(*text) : QString::fromUtf8(texts::kUnreadableLog));
      return;
    } catch (...) {
    }
    try {
      post(QString::fromUtf8(texts::kUnreadableLog));
    } catch (...) {
    }
  };

  runningProcess_.reset();
  auto started = process::ChildProcess::start(configuration, std::move(handler));
  if (!started.process) {
    finish(1, describe(launchError(configuration.executable, started.error)));
    return;
  }
  runningProcess_ = std::move(started.process);
}

void InstallerController::runEnded(std::int32_t code, const QString& text) { finish(code, text); }

}  // namespace sonarell::installer
