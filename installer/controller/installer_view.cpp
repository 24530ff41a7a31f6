#include "installer/controller/installer_view.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QScrollBar>
#include <QVBoxLayout>

#include "installer/controller/icon_view.h"
#include "installer/controller/installer_window.h"
#include "installer/controller/log_area.h"
#include "installer/controller/log_text_view.h"
#include "installer/controller/push_button.h"
#include "installer/controller/status_label.h"
#include "installer/controller/texts.h"

namespace sonarell::installer {

namespace {

// Sizes are given in the platform's points, which are pixels here.
QFont systemFont(int size, QFont::Weight weight = QFont::Normal) {
  QFont font = QApplication::font();
  font.setPixelSize(size);
  font.setWeight(weight);
  return font;
}

void dim(QWidget* label) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
  label->setPalette(palette);
}

// Labels show data (a version from the payload, error descriptions with paths):
// always as the characters they are, never interpreted as markup.
void singleLine(QLabel* label) {
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(false);
  label->setTextInteractionFlags(Qt::NoTextInteraction);
}

void multiLine(QLabel* label) {
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
}

// The log area's font for the summary texts.
QFont summaryFont() {
  QFont font = QApplication::font();
  font.setPixelSize(13);
  return font;
}

QPushButton* button(const char* text, const char* name, const QRect& frame, QWidget* parent) {
  auto* made = new PushButton(QString::fromUtf8(text), parent);
  made->setObjectName(name);
  made->setGeometry(frame);
  return made;
}

}  // namespace

// The controls are made bottom to top, in their stacking order.
InstallerView::InstallerView(const QString& version) : window_(std::make_unique<InstallerWindow>()) {
  QWidget* content = window_.get();
  window_->setWindowTitle(QString::fromUtf8(texts::kWindowTitle));
  window_->setFixedSize(650, 510);

  auto* icon = new IconView(content);
  icon->setObjectName("icon");
  icon->setGeometry(30, 32, 88, 88);
  icon->setIcon(QApplication::windowIcon());
  icon->setAccessibleName(QString::fromUtf8(texts::kIconName));

  auto* heading = new QLabel(QString::fromUtf8(texts::kHeading), content);
  heading->setObjectName("heading");
  singleLine(heading);
  heading->setFont(systemFont(25, QFont::DemiBold));
  heading->setGeometry(138, 39, 480, 34);

  auto* tagline = new QLabel(QString::fromUtf8(texts::kTagline), content);
  tagline->setObjectName("tagline");
  singleLine(tagline);
  dim(tagline);
  tagline->setGeometry(138, 79, 480, 24);

  detail_ = new QLabel(QString::fromUtf8(texts::kDetail), content);
  detail_->setObjectName("detail");
  multiLine(detail_);
  detail_->setFont(systemFont(14));
  detail_->setGeometry(30, 134, 590, 56);

  status_ = new StatusLabel(content);
  status_->setObjectName("status");
  multiLine(status_);
  status_->setFont(systemFont(14, QFont::Medium));
  status_->setGeometry(30, 200, 590, 53);

  progress_ = new QProgressBar(content);
  progress_->setObjectName("progress");
  progress_->setRange(0, 0);  // indeterminate
  progress_->setTextVisible(false);
  progress_->setGeometry(30, 258, 590, 14);
  progress_->setVisible(false);
  // The bar moves without a figure: say what it stands for.
  progress_->setAccessibleName(QString::fromUtf8(texts::kProgressName));
  progress_->setAccessibleDescription(QString::fromUtf8(texts::kProgressDescription));

  // The bordered area and, filling it, the text view that scrolls inside it.
  auto* logArea = new LogArea(content);
  logArea->setObjectName("logArea");
  logArea->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  logArea->setGeometry(30, 287, 590, 131);
  logArea->setAccessibleName(QString::fromUtf8(texts::kLogName));
  auto* areaLayout = new QVBoxLayout(logArea);
  const int frame = logArea->frameWidth();
  areaLayout->setContentsMargins(frame, frame, frame, frame);
  logView_ = new LogTextView(logArea);
  logView_->setObjectName("logView");
  logView_->setFrameStyle(QFrame::NoFrame);
  logView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  logView_->setFont(systemFont(13));
  logView_->setPlainText(QString::fromUtf8(texts::kWelcome));
  logView_->setAccessibleName(QString::fromUtf8(texts::kLogName));
  logView_->verticalScrollBar()->setAccessibleName(QString::fromUtf8(texts::kLogScrollBarName));
  areaLayout->addWidget(logView_);

  logToggle_ = button(texts::kShowLog, "logToggle", {30, 448, 150, 36}, content);
  logToggle_->setVisible(false);
  action_ = button(texts::kInstall, "action", {442, 448, 180, 36}, content);
  window_->setDefaultButton(action_);
  closeButton_ = button(texts::kClose, "closeButton", {342, 448, 90, 36}, content);
  // The settings button takes the main button's place.
  openSettings_ = button(texts::kOpenSettings, "openSettings", action_->geometry(), content);
  openSettings_->setVisible(false);

  auto* footer = new QLabel(QString::fromUtf8(texts::kFooterPrefix) + version, content);
  footer->setObjectName("footer");
  singleLine(footer);
  dim(footer);
  footer->setFont(systemFont(11));
  footer->setGeometry(30, 426, 420, 18);

  // Tab follows the reading order: the log, then the buttons from left to right.
  QWidget::setTabOrder(logView_, logToggle_);
  QWidget::setTabOrder(logToggle_, closeButton_);
  QWidget::setTabOrder(closeButton_, action_);
  QWidget::setTabOrder(action_, openSettings_);
}

InstallerView::~InstallerView() = default;

void InstallerView::showVariant(bool installed) {
  action_->setText(QString::fromUtf8(installed ? texts::kUpgrade : texts::kInstall));
  setStatus(QString::fromUtf8(installed ? texts::kUpdateStatus : texts::kFreshStatus));
}

void InstallerView::showRunning() {
  action_->setEnabled(false);
  closeButton_->setEnabled(false);
  setStatus(QString::fromUtf8(texts::kRunningStatus));
  progress_->setVisible(true);
}

void InstallerView::showRunningLog() { logView_->setPlainText(QString::fromUtf8(texts::kRunningLog)); }

void InstallerView::showOutcome(bool succeeded) {
  progress_->setVisible(false);
  closeButton_->setEnabled(true);
  logToggle_->setText(QString::fromUtf8(texts::kShowLog));
  logToggle_->setVisible(true);
  logView_->setFont(summaryFont());
  if (succeeded) {
    setStatus(QString::fromUtf8(texts::kSuccessStatus));
    detail_->setText(QString::fromUtf8(texts::kSuccessDetail));
    action_->setVisible(false);
    openSettings_->setVisible(true);
    window_->setDefaultButton(openSettings_);
    logView_->setPlainText(QString::fromUtf8(texts::kSuccessLog));
  } else {
    setStatus(QString::fromUtf8(texts::kFailureStatus));
    detail_->setText(QString::fromUtf8(texts::kFailureDetail));
    action_->setText(QString::fromUtf8(texts::kRetry));
    action_->setEnabled(true);
    logView_->setPlainText(QString::fromUtf8(texts::kFailureLog));
  }
}

void InstallerView::showLog(bool details, const QString& detailedLog) {
  logToggle_->setText(QString::fromUtf8(details ? texts::kHideLog : texts::kShowLog));
  QFont font = summaryFont();
  if (details) {
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(11);
    font.setWeight(QFont::Normal);
  }
  logView_->setFont(font);
  // The view shares the stored log rather than copying it, and lays out only
  // what is on screen, so the switch costs the same whatever the log holds.
  logView_->setPlainText(details ? detailedLog : status_->text() + QChar(u'\n') + detail_->text());
  logView_->scrollToStart();
}

void InstallerView::setStatus(const QString& text) { status_->setStatus(text); }

}  // namespace sonarell::installer
