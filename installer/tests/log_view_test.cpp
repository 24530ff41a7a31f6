// The log area's summary and details modes.

#include <QApplication>
#include <QFontInfo>
#include <QScrollBar>

#include "installer/tests/support.h"

namespace sonarell::installer::testing {
namespace {

using LogView = InstallerTest;

TEST_F(LogView, ToggleAlternatesModesTextsAndFonts) {
  // A log much longer than the area, so that "shows the beginning" means something.
  makePayload("echo FIRST LINE; for i in $(seq 1 400); do echo \"行 $i\"; done; exit 7\n");
  auto& c = makeController();
  c.window()->show();
  ASSERT_EQ(runToOutcome(), 7);
  auto* log = find<LogTextView>("logView");
  const QString failureSummary = u("本次安装未完成。请查看详细记录后重试，或保留记录用于反馈。");
  EXPECT_EQ(log->toPlainText(), failureSummary);
  const QString summary = text("status") + QChar(u'\n') + text("detail");

  for (int press = 1; press <= 4; ++press) {
    click("logToggle");
    const bool details = press % 2 == 1;
    EXPECT_EQ(c.showingDetails(), details) << press;
    if (details) {
      EXPECT_EQ(text("logToggle"), u("收起详细记录"));
      EXPECT_EQ(log->toPlainText(), c.detailedLog());
      EXPECT_TRUE(log->toPlainText().startsWith(u("FIRST LINE\n行 1\n")));
      EXPECT_TRUE(log->toPlainText().endsWith(u("行 400\n")));
      EXPECT_EQ(log->font().pixelSize(), 11);
      EXPECT_EQ(log->font().weight(), QFont::Normal);
      EXPECT_TRUE(QFontInfo(log->font()).fixedPitch());
      QApplication::processEvents();
      EXPECT_GT(log->verticalScrollBar()->maximum(), 0);
      EXPECT_EQ(log->verticalScrollBar()->value(), 0);
    } else {
      EXPECT_EQ(text("logToggle"), u("查看详细记录"));
      EXPECT_EQ(log->toPlainText(), summary);  // not the failure summary: that one never returns
      EXPECT_NE(log->toPlainText(), failureSummary);
      EXPECT_EQ(log->font().pixelSize(), 13);
      EXPECT_FALSE(QFontInfo(log->font()).fixedPitch());
    }
    EXPECT_EQ(find("logArea")->geometry(), QRect(30, 287, 590, 131));
  }

  // A retry while details are shown: the running text appears in the details font
  // under "收起详细记录", the earlier log stays the detailed one until the outcome.
  click("logToggle");
  ASSERT_TRUE(c.showingDetails());
  const QString earlierLog = c.detailedLog();
  writeScript("while [ ! -e \"$HOME/go\" ]; do sleep 0.02; done; echo retry\n");
  click("action");
  ASSERT_TRUE(c.busy());
  EXPECT_EQ(log->toPlainText(), u("正在校验并复制安装内容，请保持安装窗口打开。"));
  EXPECT_EQ(log->font().pixelSize(), 11);
  EXPECT_EQ(text("logToggle"), u("收起详细记录"));
  EXPECT_FALSE(find("logToggle")->isHidden());
  click("logToggle");  // usable during the run: summary is the running status and the old detail
  EXPECT_EQ(log->toPlainText(), u("正在安装并启用输入法，请稍候…") + QChar(u'\n') + text("detail"));
  click("logToggle");
  EXPECT_EQ(log->toPlainText(), earlierLog);
  writeFile(home_ / "go", "");
  ASSERT_TRUE(waitUntil([&] { return codes_.size() == 2; }));
  // Every outcome returns to the summary, whatever mode was on.
  EXPECT_FALSE(c.showingDetails());
  EXPECT_EQ(text("logToggle"), u("查看详细记录"));
  EXPECT_EQ(log->font().pixelSize(), 13);
  EXPECT_EQ(c.detailedLog(), u("retry\n"));
  c.window()->close();
}

TEST_F(LogView, DetailsAfterAValidationFailureShowTheErrorAndAnEmptyLogStaysEmpty) {
  makeController();  // no payload at all
  click("action");
  click("logToggle");
  EXPECT_EQ(text("logView"), u("安装内容不完整，请重新下载并完整解压安装包。"));

  makePayload("exit 0\n");
  makeController();
  ASSERT_EQ(runToOutcome(), 0);
  click("logToggle");
  EXPECT_TRUE(text("logView").isEmpty());
}

}  // namespace
}  // namespace sonarell::installer::testing
