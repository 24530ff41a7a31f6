#include "installer/controller/installer_window.h"

#include <QCloseEvent>
#include <QKeyEvent>

namespace sonarell::installer {

InstallerWindow::InstallerWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint) {}

void InstallerWindow::setDefaultButton(QPushButton* button) {
  if (defaultButton_ != nullptr) defaultButton_->setDefault(false);
  defaultButton_ = button;
  if (button != nullptr) button->setDefault(true);
}

void InstallerWindow::closeEvent(QCloseEvent* event) {
  if (shouldClose_ && !shouldClose_()) {
    event->ignore();
    return;
  }
  event->accept();
}

void InstallerWindow::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    if (defaultButton_ != nullptr && defaultButton_->isVisible() && defaultButton_->isEnabled()) {
      defaultButton_->click();
    }
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace sonarell::installer
