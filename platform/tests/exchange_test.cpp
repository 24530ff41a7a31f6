#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/exchange/atomic_exchange.h"

namespace sonarell::exchange {
namespace {

namespace stdfs = std::filesystem;

std::string makeTempDir(const std::string& base, const char* name) {
  std::string pattern = base + "/" + name + "-XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

std::string read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void makeContents(const std::string& path, const std::string& marker) {
  stdfs::create_directories(path);
  std::ofstream(path + "/marker") << marker;
}

TEST(AtomicExchange, SwapsTwoFoldersAndBackAgain) {
  const std::string dir = makeTempDir(stdfs::temp_directory_path(), "exchange");
  ASSERT_FALSE(dir.empty());
  const std::string a = dir + "/Installed.app/Contents";
  const std::string b = dir + "/Staged.app/Contents";
  makeContents(a, "old");
  makeContents(b, "new");

  ASSERT_EQ(exchangePaths(a.c_str(), b.c_str()), 0) << std::strerror(errno);
  EXPECT_EQ(read(a + "/marker"), "new");
  EXPECT_EQ(read(b + "/marker"), "old");
  ASSERT_EQ(exchangePaths(a.c_str(), b.c_str()), 0);
  EXPECT_EQ(read(a + "/marker"), "old");
  EXPECT_EQ(read(b + "/marker"), "new");

  errno = 0;
  EXPECT_NE(exchangePaths(a.c_str(), (dir + "/missing").c_str()), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(read(a + "/marker"), "old");
  EXPECT_FALSE(stdfs::exists(dir + "/missing"));

  errno = 0;
  EXPECT_NE(exchangePaths(nullptr, a.c_str()), 0);
  EXPECT_EQ(errno, EINVAL);
  stdfs::remove_all(dir);
}

TEST(AtomicExchange, RefusesToSwapAcrossFileSystems) {
  const std::string local = makeTempDir(stdfs::temp_directory_path(), "exchange-local");
  const std::string other = makeTempDir("/dev/shm", "exchange-shm");
  if (local.empty() || other.empty()) {
    stdfs::remove_all(local);
    GTEST_SKIP() << "no /dev/shm to swap with";
  }
  struct stat localStat {
  }, otherStat{};
  ASSERT_EQ(::stat(local.c_str(), &localStat), 0);
  ASSERT_EQ(::stat(other.c_str(), &otherStat), 0);
  if (localStat.st_dev == otherStat.st_dev) {
    stdfs::remove_all(local);
    stdfs::remove_all(other);
    GTEST_SKIP() << "the temporary folder and /dev/shm are on one file system";
  }
  const std::string a = local + "/Contents";
  const std::string b = other + "/Contents";
  makeContents(a, "installed");
  makeContents(b, "staged");
  errno = 0;
  EXPECT_NE(exchangePaths(a.c_str(), b.c_str()), 0);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_EQ(read(a + "/marker"), "installed");
  EXPECT_EQ(read(b + "/marker"), "staged");
  stdfs::remove_all(local);
  stdfs::remove_all(other);
}

}  // namespace
}  // namespace sonarell::exchange
