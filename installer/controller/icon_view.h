#pragma once

// The window's icon: an image view that keeps the picture's proportions
// whatever its frame.

#include <QLabel>

class QIcon;

namespace sonarell::installer {

class IconView : public QLabel {
  Q_OBJECT

 public:
  explicit IconView(QWidget* parent);

  // Shows the icon's largest image fitted into the view's size; a null icon changes nothing.
  void setIcon(const QIcon& icon);
};

}  // namespace sonarell::installer
