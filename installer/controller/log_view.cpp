// The log area's two modes: the short summary and the whole detailed log.

#include <QApplication>
#include <QFontDatabase>

#include "installer/controller/installer_controller.h"
#include "installer/controller/texts.h"

namespace sonarell::installer {

void InstallerController::toggleLog() {
  showingDetails_ = !showingDetails_;
  logToggle_->setText(QString::fromUtf8(showingDetails_ ? texts::kHideLog : texts::kShowLog));
  QFont font;
  if (showingDetails_) {
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(11);
    font.setWeight(QFont::Normal);
  } else {
    font = QApplication::font();
    font.setPixelSize(13);
  }
  logView_->setFont(font);
  // The view shares the stored log rather than copying it, and lays out only
  // what is on screen, so the switch costs the same whatever the log holds.
  logView_->setPlainText(showingDetails_ ? detailedLog_ : status_->text() + QChar(u'\n') + detail_->text());
  logView_->scrollToStart();
}

}  // namespace sonarell::installer
