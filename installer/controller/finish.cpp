// A run's outcome: the only place where busy is cleared and success or failure shown.

#include <QApplication>

#include "installer/controller/installer_controller.h"
#include "installer/controller/texts.h"

namespace sonarell::installer {

void InstallerController::finish(std::int32_t code, const QString& text) {
  busy_ = false;
  runningProcess_.reset();
  progress_->setVisible(false);
  closeButton_->setEnabled(true);
  detailedLog_ = text;
  showingDetails_ = false;
  logToggle_->setText(QString::fromUtf8(texts::kShowLog));
  logToggle_->setVisible(true);
  QFont font = QApplication::font();
  font.setPixelSize(13);
  logView_->setFont(font);

  if (code != 0) {
    status_->setText(QString::fromUtf8(texts::kFailureStatus));
    detail_->setText(QString::fromUtf8(texts::kFailureDetail));
    action_->setText(QString::fromUtf8(texts::kRetry));
    action_->setEnabled(true);
    logView_->setPlainText(QString::fromUtf8(texts::kFailureLog));
  } else {
    status_->setText(QString::fromUtf8(texts::kSuccessStatus));
    detail_->setText(QString::fromUtf8(texts::kSuccessDetail));
    action_->setVisible(false);
    openSettings_->setVisible(true);
    window_->setDefaultButton(openSettings_);
    logView_->setPlainText(QString::fromUtf8(texts::kSuccessLog));
  }

  if (completionObserver_) completionObserver_(code);
}

}  // namespace sonarell::installer
