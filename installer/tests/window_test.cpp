// The real window offscreen: construction, the footer, the log area's two modes, what a screen reader meets.

#include <QFontDatabase>
#include <QLocale>
#include <QScrollBar>

#include "installer/tests/support.h"

namespace sonarell::installer::test {
namespace {

using Window = InstallerTest;

TEST_F(Window, ConstructionLeavesTheFreshVariantFramesTextsAndFonts) {
  makePayload("exit 0\n");
  auto& c = makeController();
  InstallerWindow* w = c.window();
  EXPECT_FALSE(w->isVisible());  // the constructor does not show it
  EXPECT_EQ(w->windowTitle(), u("国际音标输入法 · 安装"));
  EXPECT_TRUE(w->minimumSize() == QSize(650, 510) && w->maximumSize() == QSize(650, 510));
  EXPECT_EQ(w->windowFlags() &
                (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint),
            Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);

  // Bottom to top, in the order the views were added: frame, text, font size and weight.
  using View = std::tuple<const char*, QRect, const char*, int, QFont::Weight>;
  const char* detail =
      "点击下方按钮即可安装，无需命令行工具。\n仅安装到当前用户的输入法目录；升级会保留旧版本备份。";
  const View views[] = {
      {"icon", {30, 32, 88, 88}, "", 0, QFont::Normal},
      {"heading", {138, 39, 480, 34}, "安装国际音标输入法", 25, QFont::DemiBold},
      {"tagline", {138, 79, 480, 24}, "拼音选音标 · 多音字选读音 · Tessaly 点选", 0, QFont::Normal},
      {"detail", {30, 134, 590, 56}, detail, 14, QFont::Normal},
      {"status", {30, 200, 590, 53}, "安装后即可从输入法菜单选择国际音标输入法。", 14, QFont::Medium},
      {"progress", {30, 258, 590, 14}, "", 0, QFont::Normal},
      {"logArea", {30, 287, 590, 131}, "", 0, QFont::Normal},
      {"logToggle", {30, 448, 150, 36}, "查看详细记录", 0, QFont::Normal},
      {"action", {442, 448, 180, 36}, "安装并启用", 0, QFont::Normal},
      {"closeButton", {342, 448, 90, 36}, "关闭", 0, QFont::Normal},
      {"openSettings", {442, 448, 180, 36}, "打开输入法设置", 0, QFont::Normal},
      {"footer", {30, 426, 420, 18}, "基于Calvetta输入法开发 · 1.4.2", 11, QFont::Normal},
  };
  const auto children = w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  ASSERT_EQ(children.size(), 12);
  for (int i = 0; i < 12; ++i) {
    const auto& [name, frame, shownText, size, weight] = views[i];
    const QFont font = find(name)->font();
    EXPECT_EQ(children[i]->objectName(), QString::fromLatin1(name)) << i;
    EXPECT_EQ(find(name)->geometry(), frame) << name;
    EXPECT_TRUE(!*shownText || text(name) == u(shownText)) << name;
    EXPECT_TRUE(size == 0 || (font.pixelSize() == size && font.weight() == weight)) << name;
  }
  EXPECT_EQ(text("logView"), u("将为当前用户安装独立输入法。\n安装完成后可以打开设置，阅读图文教学。\n"
                               "升级时保留旧版本和键位方案。"));
  EXPECT_EQ(find("logView")->font().pixelSize(), 13);
  EXPECT_EQ(find("tagline")->font(), QApplication::font(find("tagline")));
  for (const char* name : {"detail", "status", "heading", "tagline", "footer"}) {
    auto* label = find<QLabel>(name);
    const bool wraps = name == std::string("detail") || name == std::string("status");
    const bool dimmed = name == std::string("tagline") || name == std::string("footer");
    EXPECT_EQ(label->palette().color(QPalette::WindowText) == w->palette().color(QPalette::PlaceholderText),
              dimmed);
    EXPECT_EQ(label->wordWrap(), wraps) << name;
    EXPECT_EQ(bool(label->textInteractionFlags() & Qt::TextSelectableByMouse), wraps) << name;
    EXPECT_EQ(label->alignment() == (Qt::AlignTop | Qt::AlignLeft), wraps) << name;
  }
  EXPECT_EQ(find<LogTextView>("logView")->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(find<QProgressBar>("progress")->maximum(), 0);  // indeterminate
  const QPixmap icon = find<QLabel>("icon")->pixmap();      // the application's own, fitted
  EXPECT_LE(icon.width() / icon.devicePixelRatio(), 88);
  EXPECT_EQ(icon.height() / icon.devicePixelRatio(), 88);

  EXPECT_TRUE(find("progress")->isHidden() && find("logToggle")->isHidden() &&
              find("openSettings")->isHidden());
  EXPECT_FALSE(c.busy() || c.showingDetails() || c.logURL() || c.hasRunningProcess());
}

TEST_F(Window, UpdateVariantAndFooterAreDecidedOnceAndShownAsPlainText) {
  makePayload("exit 0\n");
  markInstalled();
  makeController();
  EXPECT_EQ(text("action"), u("升级并启用"));
  EXPECT_EQ(text("status"), u("已安装国际音标输入法，可更新安装文件。"));
  stdfs::remove_all(home_ / "Library/Input Methods/Sonarell.app");
  makePayload("exit 0\n", "<key>CFBundleShortVersionString</key><string>9.9</string>");
  EXPECT_EQ(text("action"), u("升级并启用"));
  EXPECT_EQ(text("footer"), u("基于Calvetta输入法开发 · 1.4.2"));

  const std::string prefix = "基于Calvetta输入法开发 · ";
  stdfs::remove_all(root_ / "Payload");  // no input method bundle at all
  makeController();
  EXPECT_EQ(text("footer").toStdString(), prefix);
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},  // a bundle without the key
      {"<key>CFBundleShortVersionString</key><integer>3</integer>", ""},
      {"<key>CFBundleShortVersionString</key><string> 2.0 beta</string>", " 2.0 beta"},
  };
  for (const auto& [entry, shownVersion] : cases) {
    makePayload("exit 1\n", entry);
    makeController();
    EXPECT_EQ(text("footer").toStdString(), prefix + shownVersion) << entry;
  }
  runToOutcome();  // markup stays text in every label, in every state
  const auto labels = controller_->window()->findChildren<QLabel*>();
  ASSERT_GE(labels.size(), 5);
  for (QLabel* label : labels)
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();

  // The footer asks for the user's language.
  writeFile(root_ / "Payload/Sonarell.app/Contents/Resources/zh-Hans.lproj/InfoPlist.strings",
            "CFBundleShortVersionString = \"1.4.2 版\";");
  const QLocale before;
  QLocale::setDefault(QLocale("zh_CN"));
  makeController();
  QLocale::setDefault(before);
  EXPECT_EQ(text("footer").toStdString(), prefix + "1.4.2 版");
}

// Names, Tab order, focus that shows, and through runs and the log area's two modes what a screen reader
// is told unasked, whatever has the focus. The area is a grouping so that focus inside it is announced.
TEST_F(Window, WhatAScreenReaderAndAKeyboardUserMeetAtEveryStep) {
  makePayload("echo ran; for i in $(seq 1 400); do echo \"行 $i\"; done; exit 3\n");
  auto& c = makeController({kInterpreter, nullptr, nullptr});  // a hand-off without its services
  InstallerWindow* w = c.window();
  auto controls = w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  controls << find("logView") << find<LogTextView>("logView")->verticalScrollBar();
  for (QWidget* control : controls) {
    QAccessibleInterface* access = QAccessible::queryAccessibleInterface(control);
    ASSERT_NE(access, nullptr);
    EXPECT_FALSE(access->text(QAccessible::Name).isEmpty()) << control->objectName().toStdString();
  }
  EXPECT_EQ(QAccessible::queryAccessibleInterface(find("logView"))->text(QAccessible::Name), u("安装记录"));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(find("progress"))->text(QAccessible::Description),
            u("安装正在进行，完成前无法预估剩余时间。"));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(find("logArea"))->role(), QAccessible::Grouping);
  w->show();
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  auto tabOrder = [&] {
    find("logView")->setFocus(Qt::TabFocusReason);
    QStringList order;
    for (int i = 0; i < 5; ++i) {
      order << QApplication::focusWidget()->objectName();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return order;
  };
  EXPECT_EQ(tabOrder(), QStringList({"logView", "closeButton", "action", "logView", "closeButton"}));

  auto* log = find<LogTextView>("logView");
  QString ran = u("ran\n");
  for (int i = 1; i <= 400; ++i) ran += u("行 %1\n").arg(i);
  using Event = AccessibilityEvents::Event;
  constexpr auto kShown = QAccessible::ObjectShow, kTitle = QAccessible::NameChanged,
                 kLog = QAccessible::TextUpdated;
  const QString running = u("正在安装并启用输入法，请稍候…"), failed = u("安装未完成，请查看下方记录。");
  const Event started[] = {{kShown, "status", running},
                           {kLog, "logView", u("正在校验并复制安装内容，请保持安装窗口打开。")}};
  const Event details = {kTitle, "logToggle", u("收起详细记录")}, detailed = {kLog, "logView", ran},
              summary = {kTitle, "logToggle", u("查看详细记录")};
  const Event failedLog = {kLog, "logView", u("本次安装未完成。请查看详细记录后重试，或保留记录用于反馈。")},
              doneLog = {kLog, "logView",
                         u("安装文件校验通过，输入法已启用。\n从菜单栏选择国际音标输入法，即可开始输入。\n"
                           "点击打开输入法设置，可查看四页图文教学。")};
  const QString done = u("安装完成。请从菜单栏输入法菜单选择国际音标输入法。"), advice = u'\n' + kRetryAdvice;
  const QString fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
  AccessibilityEvents events;
  // What a step told, and the log's font and place after it.
  const auto told = [&](const char* step, const std::vector<Event>& expected, bool inDetails) {
    std::vector<Event> sent = events.take({kShown, kTitle, kLog});
    std::erase_if(sent, [&](const Event& e) {
      return !(e.type == kShown && e.object == u"status") &&
             !(e.type == kTitle && e.object == u"logToggle") && !(e.type == kLog && e.object == u"logView");
    });
    EXPECT_EQ(sent, expected) << step;
    EXPECT_EQ(c.showingDetails(), inDetails) << step;
    EXPECT_EQ(log->font().pixelSize(), inDetails ? 11 : 13) << step;
    EXPECT_EQ(log->font().family() == fixed, inDetails) << step;
    EXPECT_EQ(log->verticalScrollBar()->value(), 0) << step;
  };

  runToOutcome();
  told("a failing run", {started[0], started[1], {kShown, "status", failed}, failedLog}, false);
  click("logToggle");
  told("the details", {details, detailed}, true);
  log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
  click("logToggle");
  told("the summary, never the failure's again", {summary, {kLog, "logView", failed + advice}}, false);
  click("logToggle");
  told("the details again", {details, detailed}, true);

  writeScript("echo started; while [ ! -e \"$HOME/go\" ]; do sleep 0.02; done; echo retry\n");
  click("action");
  ASSERT_TRUE(c.busy() && c.hasRunningProcess());
  EXPECT_FALSE(c.windowShouldClose() || find("action")->isEnabled() || find("closeButton")->isEnabled());
  EXPECT_TRUE(shown("progress") && shown("logToggle"));
  told("a retry while details are shown", {started[0], started[1]}, true);
  click("logToggle");
  told("the summary while busy", {summary, {kLog, "logView", running + advice}}, false);
  click("logToggle");
  told("the earlier log until the outcome", {details, detailed}, true);
  // Presses while busy, through the slot so that the disabled button is no excuse, start nothing.
  c.install();
  QMetaObject::invokeMethod(&c, "install");
  ASSERT_TRUE(waitUntil([&] { return readFile(*c.logURL()) == "started\n"; }));
  EXPECT_EQ(logFiles().size(), 2u);
  told("presses while busy", {}, true);
  writeFile(home_ / "go", "");
  ASSERT_TRUE(waitUntil([&] { return codes_.size() == 2; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(codes_, (std::vector<std::int32_t>{3, 0}));  // one outcome per run
  EXPECT_EQ(c.detailedLog(), u("started\nretry\n"));
  told("a successful run's outcome, in the summary", {summary, {kShown, "status", done}, doneLog}, false);
  click("openSettings");
  told("a failed hand-off",
       {{kShown, "status", u("输入法已安装，设置窗口未能打开：无法启动“Sonarell.app”：系统错误 38。")}},
       false);

  EXPECT_EQ(tabOrder(), QStringList({"logView", "logToggle", "closeButton", "openSettings", "logView"}));
  // Each control looks different with the focus than without it.
  for (const char* name : {"logView", "logToggle", "closeButton", "openSettings"}) {
    QWidget* control = find(name);
    const QRect frame(control->mapTo(w, QPoint(0, 0)), control->size());
    (control == find("logView") ? find("closeButton") : find("logView"))->setFocus(Qt::TabFocusReason);
    const QImage without = w->grab(frame).toImage();
    control->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(w->grab(frame).toImage() != without) << name;
  }
  w->close();
}

}  // namespace
}  // namespace sonarell::installer::test
