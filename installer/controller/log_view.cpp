// The log area's two modes: the short summary and the whole detailed log.

#include <QApplication>
#include <QFontDatabase>
#include <QScrollBar>

#include "installer/controller/installer_controller.h"
#include "installer/controller/texts.h"

namespace sonarell::installer {

// Building a text document costs per block: one block per line makes a 16 MiB
// log take most of a second, almost all of it in block bookkeeping. Lines are
// therefore grouped into blocks of a few thousand characters, joined inside a
// block by soft line breaks (U+2028). They show exactly like hard ones, and the
// document's plain text turns them back into line feeds, so nothing is lost;
// only a visible block is ever laid out, and a few thousand characters lay out fast.
QString textForLogView(const QString& text) {
  constexpr qsizetype kBlockCharacters = 4096;
  QString shown = text;
  QChar* data = shown.data();  // detaches once; the stored log stays as it is
  const qsizetype size = shown.size();
  qsizetype blockStart = 0;
  qsizetype w = 0;
  for (qsizetype r = 0; r < size; ++r, ++w) {
    QChar c = data[r];
    // Line feed, carriage return and the pair of both each end one line, as
    // they do when a text document takes plain text.
    if (c == u'\r' && r + 1 < size && data[r + 1] == u'\n') ++r, c = u'\n';
    if (c == u'\n' || c == u'\r') {
      if (w - blockStart >= kBlockCharacters) {
        c = u'\n';  // a real block boundary
        blockStart = w + 1;
      } else {
        c = QChar::LineSeparator;
      }
    }
    data[w] = c;
  }
  shown.truncate(w);
  return shown;
}

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
  logView_->setPlainText(showingDetails_ ? textForLogView(detailedLog_)
                                         : status_->text() + QChar(u'\n') + detail_->text());
  logView_->moveCursor(QTextCursor::Start);
  logView_->verticalScrollBar()->setValue(0);
}

}  // namespace sonarell::installer
