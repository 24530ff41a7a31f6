#include "installer/tests/support.h"

#include <QIcon>

namespace sonarell::installer::test {

QString InstallerTest::text(const char* name) const {
  QWidget* w = find(name);
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(w)) return button->text();
  if (auto* view = qobject_cast<LogTextView*>(w)) return view->toPlainText();
  ADD_FAILURE() << name << " has no text";
  return {};
}

void InstallerTest::click(const char* name) const {
  if (auto* button = find<QPushButton>(name)) button->click();
}

std::vector<stdfs::path> InstallerTest::logFiles() const {
  std::vector<stdfs::path> files;
  const auto folder = home_ / "Library/Logs/Sonarell/Installer";
  if (stdfs::exists(folder))
    for (const auto& e : stdfs::directory_iterator(folder)) files.push_back(e.path());
  return files;
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
