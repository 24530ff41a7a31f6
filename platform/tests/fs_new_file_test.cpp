#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fs/file_type.h"
#include "platform/fs/new_file.h"
#include "tests/support/scratch.h"

namespace sonarell::fs {
namespace {

namespace stdfs = std::filesystem;

class FsTest : public testing::Test {
 protected:
  static std::string read(const std::string& path) { return testsupport::readFile(path); }
  testsupport::TempDir scratch_{"fs-test"};
  const std::string dir_ = scratch_.str();
};

TEST_F(FsTest, NewFileHoldsExactlyTheBytes) {
  std::string bytes(1 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 % 251);
  const std::string path = dir_ + "/backup 中文.plist";
  ASSERT_TRUE(writeNewFile(path, bytes));
  EXPECT_EQ(read(path), bytes);

  ASSERT_TRUE(writeNewFile(dir_ + "/empty", ""));
  EXPECT_EQ(stdfs::file_size(dir_ + "/empty"), 0u);

  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
}

TEST_F(FsTest, NewFileNeverTouchesWhatIsThere) {
  const std::string existing = dir_ + "/existing";
  std::ofstream(existing) << "precious";
  EXPECT_FALSE(writeNewFile(existing, "replacement"));
  EXPECT_EQ(read(existing), "precious");

  // A dangling link is something too: its target must not be created through it.
  ASSERT_EQ(::symlink((dir_ + "/target").c_str(), (dir_ + "/dangling").c_str()), 0);
  EXPECT_FALSE(writeNewFile(dir_ + "/dangling", "x"));
  EXPECT_FALSE(stdfs::exists(dir_ + "/target"));

  EXPECT_FALSE(writeNewFile(dir_, "x"));  // a folder
  EXPECT_TRUE(stdfs::is_directory(dir_));
}

TEST_F(FsTest, NewFileFailsInMissingOrUnwritableFolders) {
  EXPECT_FALSE(writeNewFile(dir_ + "/missing/backup.plist", "x"));
  EXPECT_FALSE(stdfs::exists(dir_ + "/missing"));
  // Parent is a regular file (root ignores permission bits, but not this).
  std::ofstream(dir_ + "/plain") << "file";
  EXPECT_FALSE(writeNewFile(dir_ + "/plain/backup.plist", "x"));
  EXPECT_EQ(read(dir_ + "/plain"), "file");
  EXPECT_FALSE(writeNewFile("/proc/sonarell-backup.plist", "x"));
  EXPECT_FALSE(writeNewFile("", "x"));
}

TEST_F(FsTest, FailedWriteRemovesThePartialFile) {
  // A file-size limit makes the write fail after the file was created.
  const std::string path = dir_ + "/too-big";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      4096, 4096
    };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool ok = writeNewFile(path, std::string(1 << 16, 'x'));
    ::_exit(ok ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write did not report failure";
  EXPECT_FALSE(stdfs::exists(path));
}

TEST_F(FsTest, FileTypesDoNotFollowLinks) {
  std::ofstream(dir_ + "/file") << "x";
  stdfs::create_directory(dir_ + "/folder");
  ASSERT_EQ(::symlink("folder", (dir_ + "/link").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (dir_ + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);

  EXPECT_EQ(fileTypeAt(dir_ + "/file"), FileType::Regular);
  EXPECT_EQ(fileTypeAt(dir_ + "/folder"), FileType::Directory);
  EXPECT_EQ(fileTypeAt(dir_ + "/link"), FileType::SymbolicLink);
  EXPECT_EQ(fileTypeAt(dir_ + "/dangling"), FileType::SymbolicLink);
  EXPECT_EQ(fileTypeAt(dir_ + "/fifo"), FileType::Other);
  EXPECT_EQ(fileTypeAt(dir_ + "/missing"), FileType::None);
  EXPECT_EQ(fileTypeAt(dir_ + "/file/below"), FileType::None);
  EXPECT_EQ(fileTypeAt(""), FileType::None);

  EXPECT_TRUE(existsFollowingLinks(dir_ + "/link"));
  EXPECT_FALSE(existsFollowingLinks(dir_ + "/dangling"));
  EXPECT_FALSE(existsFollowingLinks(dir_ + "/missing"));
}

}  // namespace
}  // namespace sonarell::fs
