// UTF-8 repair, error descriptions and the log file's steps.

#include <fcntl.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "installer/errors/installer_error.h"
#include "installer/run/log_file.h"
#include "installer/tests/support.h"
#include "installer/text/utf8_decoder.h"

namespace sonarell::installer::testing {
namespace {

QString fromUtf16(const char16_t* s) { return QString::fromUtf16(s); }

TEST(Utf8, ValidTextStaysAndEachMaximalSubpartBecomesOneReplacement) {
  struct Case {
    std::string bytes;
    const char16_t* expected;
  };
  const Case cases[] = {
      {"", u""},
      {"ascii é 中文 𝄞 \x7F end xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx末",
       u"ascii é 中文 𝄞 \u007F end xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx末"},  // past the ASCII fast path
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"\x80", u"\uFFFD"},                                // lone continuation
      {"\xBF\x80", u"\uFFFD\uFFFD"},                      // two of them: two
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong lead never starts a sequence
      {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // a surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF5\xFF", u"\uFFFD\uFFFD"},
      {"\xE4\xB8", u"\uFFFD"},  // truncated at the end: one
      {"\xE4\xB8"
       "a",
       u"\uFFFDa"},  // truncated before ASCII: the ASCII stays
      {"\xF0\x9F\x98"
       "\xE4\xB8\xAD",
       u"\uFFFD中"},  // truncated before a valid sequence
      {"\xC3"
       "\xC3\xA9",
       u"\uFFFDé"},
      // The example of the Unicode standard (U+FFFD substitution of maximal subparts).
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeUtf8(c.bytes), fromUtf16(c.expected)) << c.bytes;
  EXPECT_EQ(decodeUtf8(std::string_view("a\0b", 3)), QString(QLatin1String("a\0b", 3)));
  // A stray byte inside a long ASCII run (past the 16-byte fast path) costs one character.
  std::string longRun(100, 'a');
  longRun[37] = '\xFF';
  QString expected(100, QChar(u'a'));
  expected[37] = QChar(0xFFFD);
  EXPECT_EQ(decodeUtf8(longRun), expected);
}

TEST(Utf8, LargeInputsDecodeAsTheirPiecesDo) {
  // Well over the size at which the input is decoded in two halves at once.
  std::string valid;
  while (valid.size() < (9u << 20)) valid += "line ünïcode 中文 𝄞 and plain ASCII text\n";
  EXPECT_EQ(decodeUtf8(valid), QString::fromUtf8(valid.data(), static_cast<qsizetype>(valid.size())));

  // Ill-formed bytes in the first half (more units than a well-formed prediction
  // allows), around the middle, and in the second half: the result must equal
  // the concatenation of the lines decoded one by one.
  std::string mixed = valid;
  for (std::size_t at : {std::size_t(100), mixed.size() / 4, mixed.size() / 2 - 1, mixed.size() / 2,
                         mixed.size() / 2 + 1, mixed.size() - 3}) {
    mixed[at] = '\x80';
  }
  for (std::size_t i = 1000; i < 200000; i += 7) mixed[i] = '\xBF';  // many strays: overflow the prediction
  QString expected;
  std::size_t start = 0;
  while (start < mixed.size()) {
    std::size_t end = mixed.find('\n', start);
    end = end == std::string::npos ? mixed.size() : end + 1;
    expected += decodeUtf8(std::string_view(mixed).substr(start, end - start));
    start = end;
  }
  EXPECT_EQ(decodeUtf8(mixed), expected);
}

TEST(ErrorDescriptions, CarryTheNameAndTheSystemsReason) {
  EXPECT_EQ(payloadIncompleteError(),
            (InstallerError{"SonarellInstaller", 1, "安装内容不完整，请重新下载并完整解压安装包。"}));
  EXPECT_EQ(folderError("/h/Library/Logs", EACCES).description, "无法创建文件夹“Logs”：权限不足。");
  EXPECT_EQ(fileWriteError("/x/A.log", ENOSPC).description, "无法存储文件“A.log”：磁盘空间不足。");
  EXPECT_EQ(fileWriteError("/x/A.log", ENOSPC).code, 512);
  EXPECT_EQ(fileWriteError("/x/A.log", 0).description, "无法存储文件“A.log”。");
  EXPECT_EQ(openError("/x/A.log", EISDIR).description, "无法打开文件“A.log”：这是一个文件夹。");
  EXPECT_EQ(launchError("/bin/bash", ENOENT).description, "无法启动“bash”：文件或文件夹不存在。");
  EXPECT_EQ(reasonForErrno(12345), "系统错误 12345");
}

using LogFile = InstallerTest;

TEST_F(LogFile, FolderCreationFileCreationAndOpeningEachFailOnTheirOwn) {
  const auto folder = home_ / "Library/Logs/Sonarell/Installer";
  EXPECT_FALSE(createFolder(folder.string()).has_value());
  EXPECT_TRUE(stdfs::is_directory(folder));
  EXPECT_FALSE(createFolder(folder.string()).has_value());  // existing is fine

  writeFile(base_ / "plain", "x");
  auto blocked = createFolder((base_ / "plain/sub").string());
  ASSERT_TRUE(blocked.has_value());
  EXPECT_EQ(blocked->description, "无法创建文件夹“plain”：已存在同名项目。");
  auto occupied = createFolder((base_ / "plain").string());
  ASSERT_TRUE(occupied.has_value());
  EXPECT_EQ(occupied->description, "无法创建文件夹“plain”：已存在同名项目。");

  // Creation never overwrites an existing file.
  const auto log = folder / "A.log";
  EXPECT_FALSE(createEmptyFile(log.string()).has_value());
  EXPECT_EQ(stdfs::file_size(log), 0u);
  writeFile(log, "earlier run");
  auto again = createEmptyFile(log.string());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->code, 512);
  EXPECT_EQ(readFile(log), "earlier run");
  EXPECT_TRUE(createEmptyFile((base_ / "missing/B.log").string()).has_value());

  auto opened = openForWriting(log.string());
  ASSERT_TRUE(std::holds_alternative<fs::UniqueFd>(opened));
  const int fd = std::get<fs::UniqueFd>(opened).get();
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  auto notAFile = openForWriting(folder.string());
  ASSERT_TRUE(std::holds_alternative<InstallerError>(notAFile));
  EXPECT_EQ(std::get<InstallerError>(notAFile).description, "无法打开文件“Installer”：这是一个文件夹。");

  EXPECT_EQ(readWholeFile(log.string()), "earlier run");
  EXPECT_EQ(readWholeFile((folder / "none.log").string()), std::nullopt);
  EXPECT_EQ(readWholeFile(folder.string()), std::nullopt);
}

TEST(Uuid, CanonicalUpperCaseAndFreshEachTime) {
  std::set<std::string> seen;
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  for (int i = 0; i < 200; ++i) {
    const std::string id = newUuid();
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace sonarell::installer::testing
