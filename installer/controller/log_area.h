#pragma once

// The bordered area around the log view. Assistive technology sees it as a
// grouping: a frame's default role is read as a window by screen readers, which
// then take focus inside it for focus in an inactive window and say nothing.

#include <QFrame>

namespace sonarell::installer {

class LogArea : public QFrame {
  Q_OBJECT

 public:
  explicit LogArea(QWidget* parent);
};

}  // namespace sonarell::installer
