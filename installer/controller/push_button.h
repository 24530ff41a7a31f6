#pragma once

// The window's push buttons: the style's own button with a focus ring on top,
// so that the control the keyboard acts on is always seen, in every style and
// however the focus got there.

#include <QPushButton>

namespace sonarell::installer {

class PushButton : public QPushButton {
  Q_OBJECT

 public:
  explicit PushButton(const QString& text, QWidget* parent = nullptr) : QPushButton(text, parent) {}

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace sonarell::installer
