#pragma once

// The window's status line. Its changes are announced, since it never has the
// focus: a run's start, its outcome, a failed hand-off. Assistive technology
// sees it as a notification that is shown anew with each new text.

#include <QLabel>

namespace sonarell::installer {

class StatusLabel : public QLabel {
  Q_OBJECT

 public:
  explicit StatusLabel(QWidget* parent);

  // Shows the text and, while the label is on screen, announces it.
  void setStatus(const QString& text);
};

}  // namespace sonarell::installer
