#include "installer/tests/support.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "installer/controller/log_text_view.h"

namespace sonarell::installer::testing {

QString InstallerTest::text(const char* name) const {
  QWidget* w = find(name);
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(w)) return button->text();
  if (auto* view = qobject_cast<LogTextView*>(w)) return view->toPlainText();
  ADD_FAILURE() << name << " has no text";
  return {};
}

void InstallerTest::click(const char* name) const {
  auto* button = find<QPushButton>(name);
  if (button != nullptr) button->click();
}

std::string screenshotFolder() { return SONARELL_SCREENSHOT_DIR; }
std::string applicationIconPath() { return SONARELL_APPLICATION_ICON; }

}  // namespace sonarell::installer::testing

// QApplication for the whole binary, on the offscreen platform, with the
// application's own icon as the real program sets it.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setWindowIcon(
      QIcon(QString::fromStdString(sonarell::installer::testing::applicationIconPath())));
  return RUN_ALL_TESTS();
}
