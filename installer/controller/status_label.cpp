#include "installer/controller/status_label.h"

#include <QAccessibleWidget>

namespace sonarell::installer {

namespace {

// Its text is its name, as for any label.
class StatusAccessible : public QAccessibleWidget {
 public:
  explicit StatusAccessible(StatusLabel* label) : QAccessibleWidget(label, QAccessible::Notification) {}

  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Name) return static_cast<StatusLabel*>(widget())->text();
    return QAccessibleWidget::text(kind);
  }
};

// Qt's accessibility cache owns and deletes the interfaces a factory makes.
QAccessibleInterface* statusFactory(const QString&, QObject* object) {
  auto* label = qobject_cast<StatusLabel*>(object);
  return label != nullptr ? new StatusAccessible(label) : nullptr;
}

}  // namespace

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent) {
  static const bool installed = [] {
    QAccessible::installFactory(statusFactory);
    return true;
  }();
  (void)installed;
}

// Qt has no announcement event, and its AT-SPI bridge passes no alert on; a
// notification shown anew is what screen readers speak, whatever has the focus.
void StatusLabel::setStatus(const QString& text) {
  setText(text);
  if (!isVisible() || !QAccessible::isActive()) return;
  QAccessibleEvent shown(this, QAccessible::ObjectShow);
  QAccessible::updateAccessibility(&shown);
}

}  // namespace sonarell::installer
