// What the installer shows of data it did not make: a log that is no plain file
// or does not hold still, a log that is huge or oddly shaped, labels that carry
// markup, a payload's localised version.

#include <sys/stat.h>
#include <unistd.h>

#include <QClipboard>
#include <QLabel>
#include <QLocale>
#include <QScrollBar>

#include "installer/payload/localized_info.h"
#include "installer/run/log_reader.h"
#include "installer/tests/support.h"
#include "installer/text/strings_file.h"

namespace sonarell::installer::testing {
namespace {

using Hostile = InstallerTest;

TEST_F(Hostile, OnlyAStillRegularLogWithinTheLimitIsRead) {
  writeFile(base_ / "log", "第一行\nline \xFF two\n");
  ASSERT_EQ(::mkfifo((base_ / "fifo").c_str(), 0600), 0);
  stdfs::create_symlink("/dev/zero", base_ / "zero");
  {  // sparse: larger than the limit without taking the disk's room
    testsupport::writeFile(base_ / "huge", "");
    ASSERT_EQ(::truncate((base_ / "huge").c_str(), static_cast<off_t>(kLogReadLimit) + 1), 0);
  }
  // Files whose size says something other than what reading gives, as a log
  // that shrinks or grows while it is read does.
  const char* shrinking = "/sys/devices/system/cpu/online";  // size 4096, a few bytes inside
  const char* growing = "/proc/self/status";                 // size 0, text inside
  ASSERT_TRUE(stdfs::exists(shrinking) && stdfs::exists(growing));
  struct Case {
    std::string path;
    std::size_t limit;
    std::optional<QString> expected;
  };
  const Case cases[] = {
      {(base_ / "log").string(), kLogReadLimit, u("第一行\nline \uFFFD two\n")},
      {(base_ / "log").string(), 8, std::nullopt},  // beyond a limit
      {(base_ / "huge").string(), kLogReadLimit, std::nullopt},
      {(base_ / "fifo").string(), kLogReadLimit, std::nullopt},  // no writer: must not wait for one
      {(base_ / "zero").string(), kLogReadLimit, std::nullopt},
      {(base_ / "missing").string(), kLogReadLimit, std::nullopt},
      {base_.string(), kLogReadLimit, std::nullopt},
      {shrinking, kLogReadLimit, std::nullopt},
      {growing, kLogReadLimit, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readLog(c.path, c.limit), c.expected) << c.path;
  }

  // Through the window: a script that swaps its log for a FIFO ends the run with
  // its own status and the unreadable-record text, and the window can close.
  makePayload("log=$(readlink /proc/$$/fd/1); rm \"$log\"; mkfifo \"$log\"; exit 3\n");
  auto& c = makeController();
  EXPECT_EQ(runToOutcome(), 3);
  EXPECT_EQ(c.detailedLog(), u("无法读取安装记录。"));
  EXPECT_TRUE(c.windowShouldClose());
}

TEST_F(Hostile, DetailsShowAnyLogExactlyAndWrapAtTheViewsWidth) {
  struct Case {
    const char* name;
    std::string script;
    qsizetype size;
  };
  const Case cases[] = {
      {"one 2 MB line", "head -c 2000000 /dev/zero | tr '\\0' x\n", 2000000},
      {"100000 short lines", "yes a | head -n 100000\n", 200000},
      {"line ends and separators",
       "printf 'crlf\\r\\nlone\\rnbsp\\302\\240ls\\342\\200\\250ps\\342\\200\\251tab\\tend'\n", 29},
  };
  for (const Case& k : cases) {
    makePayload(k.script);
    auto& c = makeController();
    c.window()->show();
    ASSERT_EQ(runToOutcome(), 0) << k.name;
    ASSERT_EQ(c.detailedLog().size(), k.size) << k.name;
    click("logToggle");
    auto* view = find<LogTextView>("logView");
    EXPECT_TRUE(view->toPlainText() == c.detailedLog()) << k.name;  // not printed: megabytes
    EXPECT_EQ(view->verticalScrollBar()->value(), 0) << k.name;
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);  // select all and copy: the log, whole
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(QApplication::clipboard()->text() == c.detailedLog()) << k.name;
    // The screen shows the start, row after row, none wider than the view.
    const auto rows = view->visibleRows();
    ASSERT_GT(rows.size(), 2u) << k.name;
    EXPECT_EQ(rows.front().start, 0) << k.name;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_LE(rows[i].width, view->wrapWidth()) << k.name << " row " << i;
      if (i > 0) {
        EXPECT_GE(rows[i].start, rows[i - 1].start + rows[i - 1].length) << k.name;
      }
    }
    if (k.size == 2000000) {  // one line: each row continues where the last ended
      for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].start, rows[i - 1].start + rows[i - 1].length) << i;
      }
      EXPECT_GT(rows.front().length, 1);
    }
    // And the end can be reached.
    // (Rows are counted exactly once laid out: the range settles in a few steps.)
    for (int step = 0; step < 5; ++step) {
      view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
      view->visibleRows();
      QApplication::processEvents();
    }
    const auto last = view->visibleRows();
    ASSERT_FALSE(last.empty()) << k.name;
    EXPECT_EQ(last.back().start + last.back().length, k.size) << k.name;
  }
}

TEST_F(Hostile, LabelsShowTheirTextAsPlainText) {
  makePayload("exit 1\n", "<key>CFBundleShortVersionString</key><string>&lt;u&gt;1.4.2&lt;/u&gt;</string>");
  auto& c = makeController();
  EXPECT_EQ(text("footer"), u("基于Calvetta输入法开发 · <u>1.4.2</u>"));
  runToOutcome();
  const auto labels = c.window()->findChildren<QLabel*>();
  ASSERT_GE(labels.size(), 5);
  for (QLabel* label : labels)
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
}

TEST_F(Hostile, TheVersionIsLocalisedForTheUsersLanguageThenTheDevelopmentRegion) {
  const auto bundle = root_ / "Payload/Sonarell.app";
  auto table = [&](const char* folder, const std::string& bytes) {
    writeFile(bundle / "Contents/Resources" / (std::string(folder) + ".lproj") / "InfoPlist.strings", bytes);
  };
  auto utf16le = [](const QString& s) {
    std::string bytes = "\xFF\xFE";
    for (QChar c : s) bytes += {static_cast<char>(c.unicode() & 0xFF), static_cast<char>(c.unicode() >> 8)};
    return bytes;
  };
  makePayload("exit 0\n",
              "<key>CFBundleShortVersionString</key><string>1.4.2</string>"
              "<key>CFBundleDevelopmentRegion</key><string>en</string>");
  const std::string app = bundle.string();
  const std::string key = "CFBundleShortVersionString";
  // Nothing localised: the stored value.
  EXPECT_EQ(localizedInfoString(app, key, {"zh-Hans-CN"}), u("1.4.2"));
  table("zh-Hans", utf16le(u("/* 版本 */\n\"CFBundleShortVersionString\" = \"1.4.2 \\\"测试\\\" \\U7248\";\n"
                             "CFBundleName = Sonarell; // name\n\"Lonely\";\n")));
  table("en", "\xEF\xBB\xBF\"CFBundleShortVersionString\" = \"1.4.2 (en)\";");
  table("fr", "\"CFBundleShortVersionString\" = \"1.4.2 (fr)");  // unterminated: no table
  table("de", "\"CFBundleShortVersionString\" = \"\\uD800\";");  // a lone surrogate: no table
  table("ja", "{ \"CFBundleShortVersionString\" = \"1.4.2 (ja)\"; }");
  struct Case {
    QStringList languages;
    QString expected;
  };
  const Case cases[] = {
      {{"zh-Hans-CN", "en"}, u("1.4.2 \"测试\" 版")},
      {{"zh_Hans"}, u("1.4.2 \"测试\" 版")},
      {{"ja-JP"}, u("1.4.2 (ja)")},
      {{"fr-FR"}, u("1.4.2 (en)")},  // a broken table counts as none
      {{"de"}, u("1.4.2 (en)")},
      {{"ko"}, u("1.4.2 (en)")},
  };
  for (const Case& c : cases)
    EXPECT_EQ(localizedInfoString(app, key, c.languages), c.expected) << c.languages.join(',').toStdString();
  EXPECT_EQ(stringsTableValue("\"Lonely\";", u("Lonely")), u("Lonely"));
  EXPECT_EQ(stringsTableValue(std::string("a\0=\0b\0;\0", 8), u("a")), u("b"));  // UTF-16 without a mark
  for (const char* bad : {"\"a\" = ", "/* open", "\"a\" = \"b\"", "a = b; junk", "\xFF\xFE\x41", "{ a = b;"})
    EXPECT_EQ(stringsTableValue(bad, u("a")), std::nullopt) << bad;

  // The footer asks for the user's language.
  const QLocale before;
  QLocale::setDefault(QLocale("zh_CN"));
  makeController();
  QLocale::setDefault(before);
  EXPECT_EQ(text("footer"), u("基于Calvetta输入法开发 · 1.4.2 \"测试\" 版"));
  // A development region that would lead out of the bundle is no region.
  makePayload("exit 0\n",
              "<key>CFBundleShortVersionString</key><string>1.4.2</string>"
              "<key>CFBundleDevelopmentRegion</key><string>../../../x</string>");
  writeFile(root_ / "Payload/x.lproj/InfoPlist.strings", "CFBundleShortVersionString = outside;");
  EXPECT_EQ(localizedInfoString(app, key, {"ko"}), u("1.4.2"));
}

}  // namespace
}  // namespace sonarell::installer::testing
