#pragma once

// The installer's top-level window: asks its controller before closing, and lets
// Return press whichever button is the default one, as the platform's windows do.

#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <functional>

namespace sonarell::installer {

class InstallerWindow : public QWidget {
  Q_OBJECT

 public:
  InstallerWindow();

  void setShouldClose(std::function<bool()> shouldClose) { shouldClose_ = std::move(shouldClose); }
  // The button that Return and Enter press (none: they do nothing).
  void setDefaultButton(QPushButton* button);
  QPushButton* defaultButton() const { return defaultButton_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::function<bool()> shouldClose_;
  QPointer<QPushButton> defaultButton_;
};

}  // namespace sonarell::installer
