#include "installer/controller/log_area.h"

#include <QAccessibleWidget>

namespace sonarell::installer {

namespace {

// Qt's accessibility cache owns and deletes the interfaces a factory makes.
QAccessibleInterface* logAreaFactory(const QString&, QObject* object) {
  auto* area = qobject_cast<LogArea*>(object);
  return area != nullptr ? new QAccessibleWidget(area, QAccessible::Grouping) : nullptr;
}

}  // namespace

LogArea::LogArea(QWidget* parent) : QFrame(parent) {
  static const bool installed = [] {
    QAccessible::installFactory(logAreaFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace sonarell::installer
