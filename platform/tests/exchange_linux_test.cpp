#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/exchange/atomic_exchange.h"
#include "tests/support/scratch.h"

namespace sonarell::exchange {
namespace {

namespace stdfs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;

void makeContents(const std::string& path, const std::string& marker) {
  testsupport::writeFile(path + "/marker", marker);
}

TEST(AtomicExchange, SwapsTwoFoldersAndBackAgain) {
  const TempDir dir("exchange");
  const std::string a = dir.str() + "/Installed.app/Contents";
  const std::string b = dir.str() + "/Staged.app/Contents";
  makeContents(a, "old");
  makeContents(b, "new");

  ASSERT_EQ(exchangePaths(a.c_str(), b.c_str()), 0) << std::strerror(errno);
  EXPECT_EQ(readFile(a + "/marker"), "new");
  EXPECT_EQ(readFile(b + "/marker"), "old");
  ASSERT_EQ(exchangePaths(a.c_str(), b.c_str()), 0);
  EXPECT_EQ(readFile(a + "/marker"), "old");
  EXPECT_EQ(readFile(b + "/marker"), "new");

  errno = 0;
  EXPECT_NE(exchangePaths(a.c_str(), (dir.str() + "/missing").c_str()), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(readFile(a + "/marker"), "old");
  EXPECT_FALSE(stdfs::exists(dir / "missing"));

  errno = 0;
  EXPECT_NE(exchangePaths(nullptr, a.c_str()), 0);
  EXPECT_EQ(errno, EINVAL);
}

TEST(AtomicExchange, RefusesToSwapAcrossFileSystems) {
  if (!stdfs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm to swap with";
  const TempDir local("exchange-local");
  const TempDir other("exchange-shm", "/dev/shm");
  struct stat localStat {
  }, otherStat{};
  ASSERT_EQ(::stat(local.path().c_str(), &localStat), 0);
  ASSERT_EQ(::stat(other.path().c_str(), &otherStat), 0);
  if (localStat.st_dev == otherStat.st_dev) {
    GTEST_SKIP() << "the temporary folder and /dev/shm are on one file system";
  }
  const std::string a = local.str() + "/Contents";
  const std::string b = other.str() + "/Contents";
  makeContents(a, "installed");
  makeContents(b, "staged");
  errno = 0;
  EXPECT_NE(exchangePaths(a.c_str(), b.c_str()), 0);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_EQ(readFile(a + "/marker"), "installed");
  EXPECT_EQ(readFile(b + "/marker"), "staged");
}

}  // namespace
}  // namespace sonarell::exchange
