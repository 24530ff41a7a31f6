#include "installer/controller/installer_controller.h"

#include "installer/controller/push_button.h"
#include "installer/controller/texts.h"

namespace sonarell::installer {

InstallerController::InstallerController(InstallerPayload payload, Options options)
    : payload_(std::move(payload)),
      window_(std::make_unique<InstallerWindow>()),
      options_(std::move(options)) {
  // The controls first, as plain objects; buildView places them.
  action_ = new PushButton(QString::fromUtf8(texts::kInstall));
  openSettings_ = new PushButton(QString::fromUtf8(texts::kOpenSettings));
  closeButton_ = new PushButton(QString::fromUtf8(texts::kClose));
  status_ = new QLabel;
  detail_ = new QLabel;
  progress_ = new QProgressBar;
  logView_ = new LogTextView;
  logToggle_ = new PushButton(QString::fromUtf8(texts::kShowLog));

  window_->setWindowTitle(QString::fromUtf8(texts::kWindowTitle));
  window_->setShouldClose([this] { return windowShouldClose(); });
  window_->setFixedSize(650, 510);

  buildView();

  if (InstallerPayload::installed()) {
    action_->setText(QString::fromUtf8(texts::kUpgrade));
    status_->setText(QString::fromUtf8(texts::kUpdateStatus));
  } else {
    status_->setText(QString::fromUtf8(texts::kFreshStatus));
  }
}

// The window and with it every control go first; a run still under way keeps
// going on its own and its result, finding no controller, is dropped.
InstallerController::~InstallerController() = default;

void InstallerController::close() {
  if (busy_) return;
  window_->close();
}

}  // namespace sonarell::installer
