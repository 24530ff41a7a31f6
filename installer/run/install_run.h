#pragma once

// One install at a time: the run makes a new log file, starts the install
// script with its output going there, and when the script has ended reads the
// log back and reports the exit status and the log on the main thread
// (`ended`). The child process and the log file are the run's; nothing of
// the window is.

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "installer/errors/installer_error.h"
#include "platform/result/result.h"

namespace sonarell::process {
class ChildProcess;
}

namespace sonarell::installer {

class InstallerPayload;

class InstallRun : public QObject {
  Q_OBJECT

 public:
  InstallRun();
  // A child still running goes on on its own; its result, finding no run, is dropped.
  ~InstallRun() override;

  // Creates the log file under the home folder and starts `interpreter` on the
  // payload's script with its output there. A failure on the way is its
  // reason, with nothing left running; otherwise `ended` follows once.
  Result<void, InstallerError> start(const InstallerPayload& payload, const std::string& interpreter);

  bool running() const { return process_ != nullptr; }
  // The log file of the latest run that got as far as opening one.
  const std::optional<std::string>& logPath() const { return logPath_; }

 signals:
  // The exit status (128 + the signal for a killed script) and the log as read.
  void ended(std::int32_t code, const QString& log);

 private:
  void end(std::int32_t code, const QString& log);

  std::optional<std::string> logPath_;
  std::unique_ptr<process::ChildProcess> process_;
};

}  // namespace sonarell::installer
