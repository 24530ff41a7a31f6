// The window as construction leaves it, in both variants.

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "installer/controller/texts.h"
#include "installer/tests/support.h"

namespace sonarell::installer::testing {
namespace {

using Window = InstallerTest;

TEST_F(Window, FreshInstallVariantTextsFramesFontsAndVisibility) {
  makePayload("exit 0\n");
  auto& c = makeController();
  QWidget* w = c.window();
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(w->isVisible());  // the constructor does not show it
  EXPECT_EQ(w->windowTitle(), u("国际音标输入法 · 安装"));
  EXPECT_EQ(w->size(), QSize(650, 510));
  EXPECT_EQ(w->minimumSize(), QSize(650, 510));
  EXPECT_EQ(w->maximumSize(), QSize(650, 510));
  const Qt::WindowFlags flags = w->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

  struct Expected {
    const char* name;
    QRect frame;
  };
  const Expected frames[] = {
      {"icon", {30, 32, 88, 88}},        {"heading", {138, 39, 480, 34}},
      {"tagline", {138, 79, 480, 24}},   {"detail", {30, 134, 590, 56}},
      {"status", {30, 200, 590, 53}},    {"progress", {30, 258, 590, 14}},
      {"logArea", {30, 287, 590, 131}},  {"footer", {30, 426, 420, 18}},
      {"logToggle", {30, 448, 150, 36}}, {"closeButton", {342, 448, 90, 36}},
      {"action", {442, 448, 180, 36}},   {"openSettings", {442, 448, 180, 36}},
  };
  for (const auto& e : frames) {
    QWidget* view = find(e.name);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->geometry(), e.frame) << e.name;
    EXPECT_EQ(view->parentWidget(), w) << e.name;
  }
  // Bottom to top, in the order the views were added.
  const char* stacking[] = {"icon",    "heading",   "tagline", "detail",      "status",       "progress",
                            "logArea", "logToggle", "action",  "closeButton", "openSettings", "footer"};
  QList<QWidget*> children;
  for (QObject* o : w->children()) {
    if (auto* child = qobject_cast<QWidget*>(o)) children.push_back(child);
  }
  ASSERT_EQ(children.size(), 12);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(children[i]->objectName(), QString::fromLatin1(stacking[i])) << i;

  EXPECT_EQ(text("heading"), u("安装国际音标输入法"));
  EXPECT_EQ(text("tagline"), u("拼音选音标 · 多音字选读音 · Tessaly 点选"));
  EXPECT_EQ(
      text("detail"),
      u("点击下方按钮即可安装，无需命令行工具。\n仅安装到当前用户的输入法目录；升级会保留旧版本备份。"));
  EXPECT_EQ(text("status"), u("安装后即可从输入法菜单选择国际音标输入法。"));
  EXPECT_EQ(text("logView"), u("将为当前用户安装独立输入法。\n安装完成后可以打开设置，阅读图文教学。\n升级时"
                               "保留旧版本和键位方案。"));
  EXPECT_EQ(text("action"), u("安装并启用"));
  EXPECT_EQ(text("closeButton"), u("关闭"));
  EXPECT_EQ(text("openSettings"), u("打开输入法设置"));
  EXPECT_EQ(text("logToggle"), u("查看详细记录"));
  EXPECT_EQ(text("footer"), u("基于Calvetta输入法开发 · 1.4.2"));

  EXPECT_EQ(find("heading")->font().pixelSize(), 25);
  EXPECT_EQ(find("heading")->font().weight(), QFont::DemiBold);
  EXPECT_EQ(find("detail")->font().pixelSize(), 14);
  EXPECT_EQ(find("detail")->font().weight(), QFont::Normal);
  EXPECT_EQ(find("status")->font().pixelSize(), 14);
  EXPECT_EQ(find("status")->font().weight(), QFont::Medium);
  EXPECT_EQ(find("logView")->font().pixelSize(), 13);
  EXPECT_EQ(find("footer")->font().pixelSize(), 11);
  EXPECT_EQ(find("tagline")->font(), QApplication::font(find("tagline")));
  const QColor dimmed = w->palette().color(QPalette::PlaceholderText);
  EXPECT_EQ(find("tagline")->palette().color(QPalette::WindowText), dimmed);
  EXPECT_EQ(find("footer")->palette().color(QPalette::WindowText), dimmed);
  EXPECT_NE(find("heading")->palette().color(QPalette::WindowText), dimmed);

  for (const char* name : {"detail", "status"}) {
    auto* label = find<QLabel>(name);
    EXPECT_TRUE(label->wordWrap()) << name;
    EXPECT_TRUE(label->textInteractionFlags() & Qt::TextSelectableByMouse) << name;
    EXPECT_EQ(label->alignment(), Qt::AlignTop | Qt::AlignLeft) << name;
  }
  for (const char* name : {"heading", "tagline", "footer"}) {
    auto* label = find<QLabel>(name);
    EXPECT_FALSE(label->wordWrap()) << name;
    EXPECT_FALSE(label->textInteractionFlags() & Qt::TextSelectableByMouse) << name;
  }
  auto* log = find<LogTextView>("logView");
  EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  auto* progress = find<QProgressBar>("progress");
  EXPECT_EQ(progress->minimum(), 0);
  EXPECT_EQ(progress->maximum(), 0);  // indeterminate

  // The icon is the application's own, fitted into its frame.
  auto* icon = find<QLabel>("icon");
  ASSERT_FALSE(QApplication::windowIcon().isNull());
  ASSERT_FALSE(icon->pixmap().isNull());
  EXPECT_LE(icon->pixmap().width() / icon->pixmap().devicePixelRatio(), 88);
  EXPECT_EQ(icon->pixmap().height() / icon->pixmap().devicePixelRatio(), 88);

  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  EXPECT_TRUE(find("action")->isVisible());
  EXPECT_TRUE(find("action")->isEnabled());
  EXPECT_TRUE(find("closeButton")->isVisible());
  EXPECT_TRUE(find("closeButton")->isEnabled());
  for (const char* hidden : {"openSettings", "logToggle", "progress"})
    EXPECT_FALSE(find(hidden)->isVisible()) << hidden;
  EXPECT_FALSE(c.busy());
  EXPECT_FALSE(c.showingDetails());
  EXPECT_TRUE(c.detailedLog().isEmpty());
  EXPECT_FALSE(c.logURL().has_value());
  EXPECT_FALSE(c.hasRunningProcess());
  EXPECT_EQ(c.window()->defaultButton(), find<QPushButton>("action"));
  w->close();
}

TEST_F(Window, UpdateVariantIsDecidedOnceAtConstruction) {
  makePayload("exit 0\n");
  markInstalled();
  auto& c = makeController();
  EXPECT_EQ(text("action"), u("升级并启用"));
  EXPECT_EQ(text("status"), u("已安装国际音标输入法，可更新安装文件。"));
  // Removing the copy and changing the version later changes none of it.
  stdfs::remove_all(home_ / "Library/Input Methods/Sonarell.app");
  makePayload("exit 0\n", "<key>CFBundleShortVersionString</key><string>9.9</string>");
  EXPECT_FALSE(InstallerPayload::installed());
  EXPECT_EQ(text("action"), u("升级并启用"));
  EXPECT_EQ(text("footer"), u("基于Calvetta输入法开发 · 1.4.2"));
  EXPECT_EQ(c.window()->windowTitle(), u("国际音标输入法 · 安装"));
}

TEST_F(Window, FooterShowsTheVersionAsStoredOrEndsInTheSeparator) {
  const std::string prefix = "基于Calvetta输入法开发 · ";
  makeController();  // no input method bundle at all
  EXPECT_EQ(text("footer").toStdString(), prefix);
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, ""},  // a bundle without the key
      {"<key>CFBundleShortVersionString</key><integer>3</integer>", ""},
      {"<key>CFBundleShortVersionString</key><string> 2.0 beta</string>", " 2.0 beta"},
  };
  for (const auto& [entry, shown] : cases) {
    makePayload("exit 0\n", entry);
    makeController();
    EXPECT_EQ(text("footer").toStdString(), prefix + shown) << entry.value_or("no key");
  }
}

TEST_F(Window, ReturnPressesTheDefaultButtonAndLongTextsWrapInPlace) {
  // An incomplete payload: pressing the main button gives the failure state at once.
  auto& c = makeController();
  c.window()->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(c.window()));
  QTest::keyClick(c.window(), Qt::Key_Return);
  ASSERT_EQ(codes_.size(), 1u);
  EXPECT_EQ(codes_[0], 1);
  EXPECT_EQ(text("action"), u("重试安装"));

  auto* status = find<QLabel>("status");
  status->setText(QString::fromUtf16(u"很长的状态").repeated(60));
  QApplication::processEvents();
  EXPECT_EQ(status->geometry(), QRect(30, 200, 590, 53));
  EXPECT_EQ(c.window()->size(), QSize(650, 510));
  c.window()->close();
}

}  // namespace
}  // namespace sonarell::installer::testing
