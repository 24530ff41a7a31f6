// Construction of the window's content: frames, fonts, texts and stacking order.

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QIcon>
#include <QLocale>
#include <QPalette>
#include <QScrollBar>
#include <QVBoxLayout>

#include "installer/controller/installer_controller.h"
#include "installer/controller/texts.h"
#include "installer/payload/localized_info.h"

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

// The version the payload's input method declares, localised for the user's
// languages where the bundle localises it; empty when there is none.
QString payloadVersion(const InstallerPayload& payload) {
  return localizedInfoString(payload.app(), "CFBundleShortVersionString", QLocale().uiLanguages())
      .value_or(QString());
}

// An image view that keeps the picture's proportions whatever its frame.
class IconView : public QLabel {
 public:
  explicit IconView(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignCenter);
  }
  void setIcon(const QIcon& icon) {
    if (icon.isNull()) return;
    const QSize available = size();
    QSize best = icon.actualSize(QSize(1024, 1024));
    if (best.isEmpty()) best = available;
    const QPixmap pixmap = icon.pixmap(best).scaled(available * devicePixelRatioF(), Qt::KeepAspectRatio,
                                                    Qt::SmoothTransformation);
    QPixmap shown = pixmap;
    shown.setDevicePixelRatio(devicePixelRatioF());
    setPixmap(shown);
  }
};

}  // namespace

void InstallerController::buildView() {
  QWidget* content = window_.get();
  if (content == nullptr) return;

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

  detail_->setParent(content);
  detail_->setObjectName("detail");
  detail_->setText(QString::fromUtf8(texts::kDetail));
  multiLine(detail_);
  detail_->setFont(systemFont(14));
  detail_->setGeometry(30, 134, 590, 56);

  status_->setParent(content);
  status_->setObjectName("status");
  multiLine(status_);
  status_->setFont(systemFont(14, QFont::Medium));
  status_->setGeometry(30, 200, 590, 53);

  progress_->setParent(content);
  progress_->setObjectName("progress");
  progress_->setRange(0, 0);  // indeterminate
  progress_->setTextVisible(false);
  progress_->setGeometry(30, 258, 590, 14);
  progress_->setVisible(false);
  // The bar moves without a figure: say what it stands for.
  progress_->setAccessibleName(QString::fromUtf8(texts::kProgressName));
  progress_->setAccessibleDescription(QString::fromUtf8(texts::kProgressDescription));

  // The bordered area and, filling it, the text view that scrolls inside it.
  auto* logArea = new QFrame(content);
  logArea->setObjectName("logArea");
  logArea->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  logArea->setGeometry(30, 287, 590, 131);
  logArea->setAccessibleName(QString::fromUtf8(texts::kLogName));
  auto* areaLayout = new QVBoxLayout(logArea);
  areaLayout->setContentsMargins(logArea->frameWidth(), logArea->frameWidth(), logArea->frameWidth(),
                                 logArea->frameWidth());
  logView_->setParent(logArea);
  logView_->setObjectName("logView");
  logView_->setFrameStyle(QFrame::NoFrame);
  logView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  logView_->setFont(systemFont(13));
  logView_->setPlainText(QString::fromUtf8(texts::kWelcome));
  logView_->setAccessibleName(QString::fromUtf8(texts::kLogName));
  logView_->verticalScrollBar()->setAccessibleName(QString::fromUtf8(texts::kLogScrollBarName));
  areaLayout->addWidget(logView_);

  logToggle_->setParent(content);
  logToggle_->setObjectName("logToggle");
  logToggle_->setGeometry(30, 448, 150, 36);
  connect(logToggle_, &QPushButton::clicked, this, &InstallerController::toggleLog);
  logToggle_->setVisible(false);

  action_->setParent(content);
  action_->setObjectName("action");
  action_->setGeometry(442, 448, 180, 36);
  window_->setDefaultButton(action_);
  connect(action_, &QPushButton::clicked, this, &InstallerController::install);

  closeButton_->setParent(content);
  closeButton_->setObjectName("closeButton");
  closeButton_->setGeometry(342, 448, 90, 36);
  connect(closeButton_, &QPushButton::clicked, this, &InstallerController::close);

  openSettings_->setParent(content);
  openSettings_->setObjectName("openSettings");
  openSettings_->setGeometry(action_->geometry());
  connect(openSettings_, &QPushButton::clicked, this, &InstallerController::showSettings);
  openSettings_->setVisible(false);

  auto* footer = new QLabel(QString::fromUtf8(texts::kFooterPrefix) + payloadVersion(payload_), content);
  footer->setObjectName("footer");
  singleLine(footer);
  dim(footer);
  footer->setFont(systemFont(11));
  footer->setGeometry(30, 426, 420, 18);

  // Tab follows the reading order: the log, then the buttons from left to right
  // (the settings button takes the main button's place).
  QWidget::setTabOrder(logView_, logToggle_);
  QWidget::setTabOrder(logToggle_, closeButton_);
  QWidget::setTabOrder(closeButton_, action_);
  QWidget::setTabOrder(action_, openSettings_);
}

}  // namespace sonarell::installer
