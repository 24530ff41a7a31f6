// The installer's rules without its window: UTF-8 repair, the log file's steps, the payload,
// reading a log that may be hostile, and the strings tables behind the localised version.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "installer/application/installer_application.h"
#include "installer/errors/installer_error.h"
#include "installer/payload/localized_info.h"
#include "installer/run/log_file.h"
#include "installer/run/log_reader.h"
#include "installer/tests/support.h"
#include "installer/text/strings_file.h"
#include "installer/text/utf8_decoder.h"

namespace sonarell::installer::test {
namespace {

using Rules = InstallerTest;

TEST(Utf8, ValidTextStaysAndEachMaximalSubpartBecomesOneReplacement) {
  // Overlong forms, a surrogate, above U+10FFFF, truncated sequences, the Unicode
  // standard's example of maximal subparts, and a stray byte inside the ASCII fast path.
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"ascii é 中文 𝄞 \x7F", u"ascii é 中文 𝄞 \u007F"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"\x80", u"\uFFFD"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},
      {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xF5\xFF", u"\uFFFD\uFFFD"},
      {"\xE4\xB8", u"\uFFFD"},
      {"\xF0\x9F\x98\xE4\xB8\xAD", u"\uFFFD中"},
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
      {std::string(37, 'a') + "\xFF" + std::string(62, 'a'),
       std::u16string(37, u'a') + u"\uFFFD" + std::u16string(62, u'a')}};
  for (const auto& [bytes, expected] : cases)
    EXPECT_EQ(decodeUtf8(bytes), QString::fromStdU16String(expected)) << bytes;
}

TEST_F(Rules, LogFileStepsEachFailOnTheirOwnWithTheSystemsReasonAndNeverOverwrite) {
  const auto folder = home_ / "Library/Logs/Sonarell/Installer";
  EXPECT_TRUE(createFolder(folder.string()));
  writeFile(base_ / "plain", "x");
  // A file on the way: the run's own test.
  EXPECT_EQ(createFolder((base_ / "plain").string()).error().description,
            "无法创建文件夹“plain”：已存在同名项目。");

  const auto log = folder / "A.log";
  EXPECT_TRUE(createEmptyFile(log.string()));
  EXPECT_EQ(stdfs::file_size(log), 0u);
  writeFile(log, "earlier run");
  EXPECT_EQ(createEmptyFile(log.string()).error().code, 512);
  EXPECT_EQ(readFile(log), "earlier run");
  EXPECT_FALSE(createEmptyFile((base_ / "missing/B.log").string()));

  auto opened = openForWriting(log.string());
  ASSERT_TRUE(opened);
  const int fd = opened.value().get();
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(openForWriting(folder.string()).error().description, "无法打开文件“Installer”：这是一个文件夹。");
  EXPECT_EQ(fileWriteError("/x/A.log", ENOSPC).description, "无法存储文件“A.log”：磁盘空间不足。");
  EXPECT_EQ(fileWriteError("/x/A.log", 0).description, "无法存储文件“A.log”。");
  EXPECT_EQ(folderError("/h/Logs", 12345).description, "无法创建文件夹“Logs”：系统错误 12345。");
  EXPECT_EQ(payloadIncompleteError(),
            (InstallerError{"SonarellInstaller", 1, "安装内容不完整，请重新下载并完整解压安装包。"}));
  EXPECT_TRUE(std::regex_match(
      newUuid(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
}

TEST_F(Rules, PayloadLocationsValidationAndTheInstalledTest) {
  const std::pair<std::string, std::optional<std::string>> folders[] = {
      {"/a/SonarellInstaller.app/Contents/MacOS/SonarellInstaller",
       "/a/SonarellInstaller.app/Contents/Resources"},
      {"/a b/安装.app/Contents/MacOS/x", "/a b/安装.app/Contents/Resources"},
      {"/opt/tools/SonarellInstaller", "/opt/tools"},
      {"/SonarellInstaller", "/"},
      {"/x/.app/Contents/MacOS/y", "/x/.app/Contents/MacOS"},  // no bundle name
      {"relative", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [exe, folder] : folders) EXPECT_EQ(resourceFolderFor(exe), folder) << exe;
  const InstallerPayload slash("/r/Resources/");  // single separators (the runs show the plain form)
  EXPECT_EQ(slash.app(), "/r/Resources/Payload/Sonarell.app");

  // Each of the three items in turn; a folder, no execute bits or no contents still pass.
  const char* items[] = {"Payload/Sonarell.app/Contents/Info.plist",
                         "Registration/Keyloom.app/Contents/MacOS/Keyloom", "Scripts/install-macos.sh"};
  const InstallerPayload p(root_.string());
  for (const char* item : items) writeFile(root_ / item, "");
  EXPECT_TRUE(p.validate());
  for (const char* item : items) {
    stdfs::remove(root_ / item);
    EXPECT_EQ(p.validate().error(), payloadIncompleteError()) << item;
    stdfs::create_directories(root_ / item);
    EXPECT_TRUE(p.validate()) << item;
  }
  stdfs::remove(root_ / items[2]);
  writeFile(root_ / items[2], "");
  stdfs::permissions(root_ / items[2], stdfs::perms::none);
  EXPECT_TRUE(p.validate());

  // Existence at the target, following links, never cached.
  const auto target = home_ / "Library/Input Methods/Sonarell.app";
  EXPECT_FALSE(InstallerPayload::installed());
  writeFile(target, "a plain file counts");
  EXPECT_TRUE(InstallerPayload::installed());
  stdfs::remove(target);
  stdfs::create_symlink(base_ / "dangling", target);
  EXPECT_FALSE(InstallerPayload::installed());
  stdfs::create_directories(base_ / "dangling");
  EXPECT_TRUE(InstallerPayload::installed());
  ScopedEnv other("HOME", "/elsewhere/");  // the target is asked afresh every time
  EXPECT_EQ(InstallerPayload::target(), "/elsewhere/Library/Input Methods/Sonarell.app");
}

TEST_F(Rules, OnlyAStillRegularLogWithinTheLimitIsRead) {
  writeFile(base_ / "log", "第一行\nline \xFF two\n");
  ASSERT_EQ(::mkfifo((base_ / "fifo").c_str(), 0600), 0);
  writeFile(base_ / "huge", "");  // sparse: larger than the limit without taking the disk's room
  ASSERT_EQ(::truncate((base_ / "huge").c_str(), static_cast<off_t>(kLogReadLimit) + 1), 0);
  // Sizes other than what reading gives, as of a log that shrinks (refused) or grows
  // (read as it stood) while it is read.
  const char* shrinking = "/sys/devices/system/cpu/online";  // size 4096, a few bytes inside
  const char* growing = "/proc/self/status";                 // size 0, text inside
  ASSERT_TRUE(stdfs::exists(shrinking) && stdfs::exists(growing));
  const std::tuple<std::string, std::size_t, std::optional<QString>> cases[] = {
      {(base_ / "log").string(), kLogReadLimit, u("第一行\nline \uFFFD two\n")},
      {(base_ / "log").string(), 8, std::nullopt},
      {(base_ / "huge").string(), kLogReadLimit, std::nullopt},
      {(base_ / "fifo").string(), kLogReadLimit, std::nullopt},  // no writer: must not wait for one
      {(base_ / "missing").string(), kLogReadLimit, std::nullopt},
      {base_.string(), kLogReadLimit, std::nullopt},
      {shrinking, kLogReadLimit, std::nullopt},
      {growing, kLogReadLimit, QString()},  // as it stood: the size it had when reading began
  };
  for (const auto& [path, limit, expected] : cases) EXPECT_EQ(readLog(path, limit), expected) << path;
}

TEST_F(Rules, TheVersionIsLocalisedForTheUsersLanguageThenTheDevelopmentRegion) {
  const auto bundle = root_ / "Payload/Sonarell.app";
  auto table = [&](const char* language, const std::string& bytes) {
    writeFile(bundle / "Contents/Resources" / (std::string(language) + ".lproj") / "InfoPlist.strings",
              bytes);
  };
  makePayload("", std::string(kVersionEntry) + "<key>CFBundleDevelopmentRegion</key><string>en</string>");
  const std::string app = bundle.string(), key = "CFBundleShortVersionString";
  std::string utf16 = "\xFF\xFE";
  for (QChar c : u("/* 版本 */\n\"CFBundleShortVersionString\" = \"1.4.2 \\\"测试\\\" \\U7248\";\n"
                   "CFBundleName = Sonarell; // name\n\"Lonely\";\n"))
    utf16 += {static_cast<char>(c.unicode() & 0xFF), static_cast<char>(c.unicode() >> 8)};
  table("zh-Hans", utf16);
  table("en", "\xEF\xBB\xBF\"CFBundleShortVersionString\" = \"1.4.2 (en)\";");
  table("fr", "\"CFBundleShortVersionString\" = \"1.4.2 (fr)");  // unterminated: no table
  table("de", "\"CFBundleShortVersionString\" = \"\\uD800\";");  // a lone surrogate: no table
  table("ja", "{ \"CFBundleShortVersionString\" = \"1.4.2 (ja)\"; }");
  const std::pair<QStringList, QString> cases[] = {{{"zh-Hans-CN", "en"}, u("1.4.2 \"测试\" 版")},
                                                   {{"zh_Hans"}, u("1.4.2 \"测试\" 版")},
                                                   {{"ja-JP"}, u("1.4.2 (ja)")},
                                                   {{"fr-FR"}, u("1.4.2 (en)")},
                                                   {{"de"}, u("1.4.2 (en)")},
                                                   {{"ko"}, u("1.4.2 (en)")}};
  for (const auto& [languages, expected] : cases)
    EXPECT_EQ(localizedInfoString(app, key, languages), expected) << languages.join(',').toStdString();

  EXPECT_EQ(stringsTableValue("\"a\";", u("a")), u("a"));                        // a lone key is its value
  EXPECT_EQ(stringsTableValue(std::string("a\0=\0b\0;\0", 8), u("a")), u("b"));  // UTF-16 without a mark
  for (const char* bad : {"\"a\" = ", "/* open", "\"a\" = \"b\"", "a = b; junk", "\xFF\xFE\x41", "{ a = b;"})
    EXPECT_EQ(stringsTableValue(bad, u("a")), std::nullopt) << bad;

  // A development region that would lead out of the bundle is no region.
  makePayload("",
              std::string(kVersionEntry) + "<key>CFBundleDevelopmentRegion</key><string>../../../x</string>");
  writeFile(root_ / "Payload/x.lproj/InfoPlist.strings", "CFBundleShortVersionString = outside;");
  EXPECT_EQ(localizedInfoString(app, key, {"ko"}), u("1.4.2"));
}

}  // namespace
}  // namespace sonarell::installer::test
