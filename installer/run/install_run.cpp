#include "installer/run/install_run.h"

#include <QCoreApplication>
#include <QPointer>

#include "installer/controller/texts.h"
#include "installer/payload/installer_payload.h"
#include "installer/run/log_file.h"
#include "installer/run/log_reader.h"
#include "installer/run/run_configuration.h"
#include "platform/fs/paths.h"
#include "platform/process/child_process.h"
#include "platform/process/environment.h"

namespace sonarell::installer {

InstallRun::InstallRun() = default;

InstallRun::~InstallRun() = default;

Result<void, InstallerError> InstallRun::start(const InstallerPayload& payload,
                                               const std::string& interpreter) {
  const std::string home = fs::homeDirectory();
  process::LaunchConfiguration configuration = makeRunConfiguration(
      payload, InstallerPayload::installed(), process::currentEnvironment(), home, interpreter);

  const std::string folder = joinPath(home, kLogFolder);
  if (auto made = createFolder(folder); !made) return made;
  const std::string logPath = joinPath(folder, newUuid() + ".log");
  if (auto created = createEmptyFile(logPath); !created) return created;
  auto opened = openForWriting(logPath);
  if (!opened) return opened.error();
  // The handler owns the descriptor from here on: whichever way the run ends, it
  // is closed exactly once (by the handler, or with it when the launch fails).
  auto log = std::make_shared<fs::UniqueFd>(std::move(opened).value());
  logPath_ = logPath;
  configuration.outputFd = log->get();

  QPointer<InstallRun> run(this);
  auto handler = [log, logPath, run](const process::Termination& termination) noexcept {
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
          [run, code, text = std::move(text)]() {
            if (run) run->end(code, text);
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

  process_.reset();
  auto started = process::ChildProcess::start(configuration, std::move(handler));
  if (!started) return launchError(configuration.executable, started.error().posixError);
  process_ = std::move(started).value();
  return {};
}

void InstallRun::end(std::int32_t code, const QString& log) {
  process_.reset();
  emit ended(code, log);
}

}  // namespace sonarell::installer
