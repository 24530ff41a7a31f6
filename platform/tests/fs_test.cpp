// New files, file types and the exchange of two folders (Keyloom's tests swap across file systems).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/exchange/atomic_exchange.h"
#include "platform/fs/file_type.h"
#include "platform/fs/new_file.h"
#include "tests/support/scratch.h"

namespace sonarell::fs {
namespace {

namespace stdfs = std::filesystem;
using namespace test;

class FsTest : public testing::Test {
 protected:
  test::TempDir scratch_{"fs-test"};
  const std::string dir_ = scratch_.str();
};

TEST_F(FsTest, NewFileHoldsExactlyTheBytesOrTouchesNothing) {
  std::string bytes(1 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 % 251);
  const std::string path = dir_ + "/backup 中文.plist";
  ASSERT_TRUE(writeNewFile(path, bytes));
  EXPECT_EQ(readFile(path), bytes);
  ASSERT_TRUE(writeNewFile(dir_ + "/empty", ""));
  EXPECT_EQ(readFile(dir_ + "/empty"), "");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);

  // Whatever is there already, a dangling link included (its target is not created through it), or a parent
  // that is missing or no folder (root ignores permission bits, but not this).
  writeFile(dir_ + "/existing", "precious");
  ASSERT_EQ(::symlink((dir_ + "/target").c_str(), (dir_ + "/dangling").c_str()), 0);
  for (const std::string& refused :
       {dir_ + "/existing", dir_ + "/dangling", dir_, dir_ + "/missing/backup", dir_ + "/existing/backup",
        std::string("/proc/sonarell-backup"), std::string()})
    EXPECT_FALSE(writeNewFile(refused, "replacement")) << refused;
  // A file put at the name after that check, right before the rename, stays too.
  EXPECT_FALSE(writeNewFile(dir_ + "/raced", "replacement", [&] { writeFile(dir_ + "/raced", "theirs"); }));
  EXPECT_EQ(readFile(dir_ + "/raced"), "theirs");
  EXPECT_EQ(test::namesIn(dir_),
            (std::vector<std::string>{"backup 中文.plist", "dangling", "empty", "existing", "raced"}));
  EXPECT_EQ(readFile(dir_ + "/existing"), "precious");
}

// A file-size limit stops the write once begun: the writer sees the failure (SIGXFSZ ignored) or is killed.
// Either way the final name holds nothing; only a killed writer leaves its hidden temporary file.
TEST_F(FsTest, AWriteThatFailsOrIsKilledLeavesNothingUnderTheFinalName) {
  const struct {
    bool killed;
    int expectedStatus;
  } rows[] = {{false, 0}, {true, SIGXFSZ}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.killed ? "killed" : "failed");
    const std::string path = dir_ + "/too-big";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::signal(SIGXFSZ, row.killed ? SIG_DFL : SIG_IGN);
      const struct rlimit limit { 4096, 4096 };
      ::setrlimit(RLIMIT_FSIZE, &limit);
      ::_exit(writeNewFile(path, std::string(1 << 16, 'x')) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status), row.expectedStatus) << status;
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(path)));
    const std::vector<std::string> left = test::namesIn(dir_);
    ASSERT_EQ(left.size(), row.killed ? 1u : 0u);
    if (row.killed) {
      EXPECT_TRUE(left[0].starts_with(".too-big.keyloom-") && left[0].size() == 17 + 6) << left[0];
      stdfs::remove(dir_ + "/" + left[0]);
    }
  }
}

TEST_F(FsTest, FileTypesDoNotFollowLinks) {
  writeFile(dir_ + "/file", "x");
  stdfs::create_directory(dir_ + "/folder");
  ASSERT_EQ(::symlink("folder", (dir_ + "/link").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (dir_ + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    FileType type;
    bool exists;
  } cases[] = {
      {dir_ + "/file", FileType::Regular, true},      {dir_ + "/folder", FileType::Directory, true},
      {dir_ + "/link", FileType::SymbolicLink, true}, {dir_ + "/dangling", FileType::SymbolicLink, false},
      {dir_ + "/fifo", FileType::Other, true},        {dir_ + "/missing", FileType::None, false},
      {dir_ + "/file/below", FileType::None, false},  {"", FileType::None, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(fileTypeAt(c.path), c.type) << c.path;
    EXPECT_EQ(existsFollowingLinks(c.path), c.exists) << c.path;
  }
}

TEST_F(FsTest, ExchangeSwapsTwoFoldersOrMovesNothing) {
  const std::string a = dir_ + "/Installed.app/Contents", b = dir_ + "/Staged.app/Contents";
  writeFile(a + "/marker", "old");
  writeFile(b + "/marker", "new");
  ASSERT_EQ(exchange::exchangePaths(a.c_str(), b.c_str()), 0) << errno;
  EXPECT_EQ(readFile(a + "/marker") + readFile(b + "/marker"), "newold");

  errno = 0;
  EXPECT_NE(exchange::exchangePaths(a.c_str(), (dir_ + "/missing").c_str()), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(readFile(a + "/marker"), "new");
  errno = 0;
  EXPECT_NE(exchange::exchangePaths(nullptr, a.c_str()), 0);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
}  // namespace sonarell::fs
