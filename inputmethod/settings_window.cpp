#include "inputmethod/settings_window.h"

#include <QPushButton>
#include <QVBoxLayout>

namespace sonarell::sample {

SettingsWindow::SettingsWindow() : window_(std::make_unique<QWidget>()) {
  window_->setObjectName("settingsWindow");
  window_->setWindowTitle(QStringLiteral("Sonarell 输入法设置"));
  window_->setFixedSize(420, 220);

  auto* layout = new QVBoxLayout(window_.get());
  auto* heading = new QLabel(QStringLiteral("Sonarell 国际音标输入法"), window_.get());
  QFont headingFont = heading->font();
  headingFont.setPixelSize(20);
  headingFont.setBold(true);
  heading->setFont(headingFont);
  layout->addWidget(heading);

  auto* note = new QLabel(
      QStringLiteral("这是安装包附带的示例程序，用来确认安装器已经把设置请求交给输入法。"), window_.get());
  note->setWordWrap(true);
  layout->addWidget(note);

  received_ = new QLabel(window_.get());
  received_->setObjectName("received");
  received_->setWordWrap(true);
  layout->addWidget(received_);
  layout->addStretch(1);

  auto* close = new QPushButton(QStringLiteral("关闭"), window_.get());
  close->setObjectName("close");
  close->setDefault(true);
  QObject::connect(close, &QPushButton::clicked, window_.get(), &QWidget::close);
  layout->addWidget(close, 0, Qt::AlignRight);
}

void SettingsWindow::present(const QString& reason) {
  // The latest few requests, newest last, so repeated hand-offs stay visible.
  history_.append(QStringLiteral("收到：") + reason);
  while (history_.size() > 4) {
    history_.removeFirst();
  }
  received_->setText(history_.join(QLatin1Char('\n')));
  window_->show();
  window_->raise();
  window_->activateWindow();
}

}  // namespace sonarell::sample
