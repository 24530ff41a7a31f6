// A picture of every state, saved under the build folder for a person to look
// at, and a check that the Chinese texts really rendered as glyphs.

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTest>

#include "installer/tests/support.h"

namespace sonarell::installer::testing {
namespace {

using Screenshots = InstallerTest;

QImage shoot(QWidget* window, const std::string& name) {
  QApplication::processEvents();
  const QImage image = window->grab().toImage();
  QDir().mkpath(QString::fromStdString(screenshotFolder()));
  const QString path = QString::fromStdString(screenshotFolder() + "/" + name + ".png");
  EXPECT_TRUE(image.save(path)) << path.toStdString();
  return image;
}

// How many pixels of `area` differ clearly from its most common colour.
int inkPixels(const QImage& image, const QRect& area) {
  QHash<QRgb, int> counts;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) ++counts[image.pixel(x, y)];
  QRgb background = 0;
  int best = -1;
  for (auto it = counts.begin(); it != counts.end(); ++it)
    if (it.value() > best) best = it.value(), background = it.key();
  int ink = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (std::abs(qGray(p) - qGray(background)) > 80) ++ink;
    }
  }
  return ink;
}

bool shown(InstallerController& controller) {
  controller.window()->show();
  return QTest::qWaitForWindowExposed(controller.window());
}

TEST_F(Screenshots, EveryStateIsSaved) {
  makePayload("echo '正在复制 Sonarell.app'; echo 'keyloom: registered=1 enabled=1'; exit 0\n");
  auto& fresh = makeController();
  ASSERT_TRUE(shown(fresh));
  const QImage freshImage = shoot(fresh.window(), "fresh");
  EXPECT_EQ(freshImage.size() / freshImage.devicePixelRatio(), QSize(650, 510));

  // The heading is drawn in Chinese glyphs, not left blank or as boxes of one colour:
  // its ink is spread over the label the way nine CJK characters at 25 px are.
  const qreal ratio = freshImage.devicePixelRatio();
  const QRect heading(QPoint(138, 39) * ratio, QSize(260, 34) * ratio);
  const int ink = inkPixels(freshImage, heading);
  EXPECT_GT(ink, 400) << "heading looks empty";
  EXPECT_LT(ink, heading.width() * heading.height() / 2) << "heading looks like solid boxes";
  // And differs from the same label with the same number of placeholder boxes.
  auto* label = find<QLabel>("heading");
  const QString original = label->text();
  label->setText(QString(9, QChar(0xE000)));  // private use: no font has a glyph
  const QImage boxes = label->grab().toImage();
  label->setText(original);
  const QImage glyphs = label->grab().toImage();
  EXPECT_NE(boxes, glyphs);

  markInstalled();
  auto& update = makeController();
  ASSERT_TRUE(shown(update));
  shoot(update.window(), "update");
  stdfs::remove_all(home_ / "Library/Input Methods");

  writeScript(
      "echo '正在复制'; while [ ! -e \"$HOME/go\" ]; do sleep 0.02; done; echo '已完成'; "
      "head -c 200 /dev/zero | tr '\\0' x; printf 'crlf\\r\\n\\tend'\n");
  auto& running = makeController();
  ASSERT_TRUE(shown(running));
  click("action");
  shoot(running.window(), "running");
  writeFile(home_ / "go", "");
  ASSERT_TRUE(waitUntil([&] { return !codes_.empty(); }));
  shoot(running.window(), "success");
  click("logToggle");
  shoot(running.window(), "details");

  writeScript("echo '错误：无法注册输入法' >&2; exit 1\n");
  auto& failed = makeController();
  ASSERT_TRUE(shown(failed));
  ASSERT_EQ(runToOutcome(), 1);
  shoot(failed.window(), "failure");

  for (const char* name : {"fresh", "update", "running", "success", "details", "failure"}) {
    EXPECT_TRUE(stdfs::exists(screenshotFolder() + "/" + name + ".png")) << name;
  }
}

}  // namespace
}  // namespace sonarell::installer::testing
