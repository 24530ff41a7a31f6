#include "installer/controller/installer_controller.h"

#include <QLocale>
#include <QPushButton>

#include "installer/controller/installer_view.h"
#include "installer/controller/settings_handoff.h"
#include "installer/payload/localized_info.h"
#include "installer/run/install_run.h"

namespace sonarell::installer {

namespace {

// The version the payload's input method declares, localised for the user's
// languages where the bundle localises it; empty when there is none.
QString payloadVersion(const InstallerPayload& payload) {
  return localizedInfoString(payload.app(), "CFBundleShortVersionString", QLocale().uiLanguages())
      .value_or(QString());
}

QString describe(const InstallerError& error) { return QString::fromStdString(error.description); }

}  // namespace

InstallerController::InstallerController(InstallerPayload payload, Options options)
    : payload_(std::move(payload)),
      options_(std::move(options)),
      handoff_(std::make_unique<SettingsHandoff>(options_.workspace, options_.notifier)),
      run_(std::make_unique<InstallRun>()),
      view_(std::make_unique<InstallerView>(payloadVersion(payload_))) {
  window()->setShouldClose([this] { return windowShouldClose(); });
  connect(view_->logToggle(), &QPushButton::clicked, this, &InstallerController::toggleLog);
  connect(view_->action(), &QPushButton::clicked, this, &InstallerController::install);
  connect(view_->closeButton(), &QPushButton::clicked, this, &InstallerController::close);
  connect(view_->openSettings(), &QPushButton::clicked, this, &InstallerController::showSettings);
  connect(run_.get(), &InstallRun::ended, this, &InstallerController::finish);
  connect(handoff_.get(), &SettingsHandoff::failed, this,
          [this](const QString& status) { view_->setStatus(status); });
  view_->showVariant(InstallerPayload::installed());
}

InstallerController::~InstallerController() = default;

InstallerWindow* InstallerController::window() const { return view_->window(); }

const std::optional<std::string>& InstallerController::logURL() const { return run_->logPath(); }

bool InstallerController::hasRunningProcess() const { return run_->running(); }

void InstallerController::install() {
  if (busy_) return;
  if (const auto valid = payload_.validate(); !valid) {
    finish(1, describe(valid.error()));
    return;
  }
  busy_ = true;
  view_->showRunning();
  const auto started = run_->start(payload_, options_.interpreter);
  if (!started) {
    finish(1, describe(started.error()));
    return;
  }
  view_->showRunningLog();
}

void InstallerController::finish(std::int32_t code, const QString& text) {
  busy_ = false;
  detailedLog_ = text;
  showingDetails_ = false;
  view_->showOutcome(code == 0);
  if (completionObserver_) completionObserver_(code);
}

void InstallerController::toggleLog() {
  showingDetails_ = !showingDetails_;
  view_->showLog(showingDetails_, detailedLog_);
}

void InstallerController::showSettings() { handoff_->open(); }

void InstallerController::close() {
  if (busy_) return;
  window()->close();
}

}  // namespace sonarell::installer
