#include "installer/tests/support.h"

#include <QIcon>

// QApplication for the whole binary, on the offscreen platform, with the
// application's own icon as the real program sets it.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setWindowIcon(QIcon(QStringLiteral(SONARELL_APPLICATION_ICON)));
  return RUN_ALL_TESTS();
}
