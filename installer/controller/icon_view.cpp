#include "installer/controller/icon_view.h"

#include <QIcon>
#include <QPixmap>

namespace sonarell::installer {

IconView::IconView(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignCenter);
}

void IconView::setIcon(const QIcon& icon) {
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

}  // namespace sonarell::installer
