#include "installer/controller/push_button.h"

#include <QPainter>

namespace sonarell::installer {

namespace {

constexpr qreal kRingWidth = 2;
constexpr qreal kRingRadius = 4;

}  // namespace

void PushButton::paintEvent(QPaintEvent* event) {
  QPushButton::paintEvent(event);
  if (!hasFocus()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(palette().brush(QPalette::Highlight), kRingWidth));
  painter.setBrush(Qt::NoBrush);
  const qreal half = kRingWidth / 2;
  painter.drawRoundedRect(QRectF(rect()).adjusted(half, half, -half, -half), kRingRadius, kRingRadius);
}

}  // namespace sonarell::installer
