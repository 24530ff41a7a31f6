#include "installer/tests/support.h"

#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <QIcon>

namespace sonarell::installer::test {

static void setAccessibilityActive(bool active) {
  if (QPlatformIntegration* integration = QGuiApplicationPrivate::platformIntegration())
    if (QPlatformAccessibility* platform = integration->accessibility()) platform->setActive(active);
}

AccessibilityEvents::AccessibilityEvents() : previous_(QAccessible::installUpdateHandler(&record)) {
  events_ = &recorded_;
  setAccessibilityActive(true);
  EXPECT_TRUE(QAccessible::isActive()) << "accessibility cannot be switched on here";
}

AccessibilityEvents::~AccessibilityEvents() {
  setAccessibilityActive(false);
  QAccessible::installUpdateHandler(previous_);
  events_ = nullptr;
}

void AccessibilityEvents::record(QAccessibleEvent* event) {
  if (events_ == nullptr || event->object() == nullptr) return;
  QString text;
  if (event->type() == QAccessible::TextUpdated)
    text = static_cast<QAccessibleTextUpdateEvent*>(event)->textInserted();
  else if (event->type() == QAccessible::TextCaretMoved)
    text = QString::number(static_cast<QAccessibleTextCursorEvent*>(event)->cursorPosition());
  else if (QAccessibleInterface* access = event->accessibleInterface())
    text = access->text(QAccessible::Name);
  events_->push_back({event->type(), event->object()->objectName(), text});
}

std::vector<AccessibilityEvents::Event> AccessibilityEvents::take(
    std::initializer_list<QAccessible::Event> types) {
  std::erase_if(recorded_,
                [&](const Event& e) { return std::find(types.begin(), types.end(), e.type) == types.end(); });
  return std::exchange(recorded_, {});
}

}  // namespace sonarell::installer::test

// One QApplication on the offscreen platform, with the application's own icon as the real program sets it.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setWindowIcon(QIcon(QStringLiteral(SONARELL_APPLICATION_ICON)));
  return RUN_ALL_TESTS();
}
