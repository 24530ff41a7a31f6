// The log area's two modes: the short summary and the whole detailed log.

#include <QApplication>
#include <QFontDatabase>
#include <QScrollBar>

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
  logView_->setPlainText(showingDetails_ ? detailedLog_ : status_->text() + QChar(u'\n') + detail_->text());
  logView_->moveCursor(QTextCursor::Start);
  logView_->verticalScrollBar()->setValue(0);
}

}  // namespace sonarell::installer
