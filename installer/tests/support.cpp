#include "installer/tests/support.h"

#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <QIcon>

namespace sonarell::installer::test {

namespace {

QPlatformAccessibility* platformAccessibility() {
  QPlatformIntegration* integration = QGuiApplicationPrivate::platformIntegration();
  return integration != nullptr ? integration->accessibility() : nullptr;
}

}  // namespace

AccessibilityEvents::AccessibilityEvents() : previous_(QAccessible::installUpdateHandler(&record)) {
  events_ = &recorded_;
  if (QPlatformAccessibility* platform = platformAccessibility()) platform->setActive(true);
  EXPECT_TRUE(QAccessible::isActive()) << "accessibility cannot be switched on here";
}

AccessibilityEvents::~AccessibilityEvents() {
  if (QPlatformAccessibility* platform = platformAccessibility()) platform->setActive(false);
  QAccessible::installUpdateHandler(previous_);
  events_ = nullptr;
}

void AccessibilityEvents::record(QAccessibleEvent* event) {
  if (events_ == nullptr || event->object() == nullptr) return;
  QString text;
  switch (event->type()) {
    case QAccessible::TextUpdated:
      text = static_cast<QAccessibleTextUpdateEvent*>(event)->textInserted();
      break;
    case QAccessible::TextCaretMoved:
      text = QString::number(static_cast<QAccessibleTextCursorEvent*>(event)->cursorPosition());
      break;
    default:
      if (QAccessibleInterface* access = event->accessibleInterface()) text = access->text(QAccessible::Name);
  }
  events_->push_back({event->type(), event->object()->objectName(), text});
}

std::vector<AccessibilityEvents::Event> AccessibilityEvents::take(
    std::initializer_list<QAccessible::Event> types) {
  std::vector<Event> taken;
  for (const Event& e : recorded_)
    if (std::find(types.begin(), types.end(), e.type) != types.end()) taken.push_back(e);
  recorded_.clear();
  return taken;
}

}  // namespace sonarell::installer::test

// QApplication for the whole binary, on the offscreen platform, with the
// application's own icon as the real program sets it.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setWindowIcon(QIcon(QStringLiteral(SONARELL_APPLICATION_ICON)));
  return RUN_ALL_TESTS();
}
