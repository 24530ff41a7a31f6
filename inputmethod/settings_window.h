#pragma once

// The sample's settings window: a fixed, small window that says what it is and
// what it received. The real input method's tutorial and key layouts live in the
// real product; this one only proves that the hand-off reached the program.

#include <QLabel>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>

namespace sonarell::sample {

class SettingsWindow {
 public:
  SettingsWindow();
  // Records what made it show, then shows it and brings it to the front.
  void present(const QString& reason);
  bool visible() const { return window_->isVisible(); }
  QWidget* widget() { return window_.get(); }

 private:
  std::unique_ptr<QWidget> window_;
  QLabel* received_ = nullptr;  // owned by window_
  QStringList history_;
};

}  // namespace sonarell::sample
