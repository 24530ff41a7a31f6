// The install lock: a holder is waited for within bounds, anything else at its path refused unchanged, the
// earlier version's link locks waited for or cleared.

#include "platform/fs/lock_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/scratch.h"

namespace sonarell::fs {
namespace {

namespace stdfs = std::filesystem;
using namespace std::chrono_literals;

// A child holding the lock until told to go; it then removes the lock file if asked, and exits.
class Holder {
 public:
  explicit Holder(const std::string& path) {
    int ready[2], go[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      auto lock = lockFile(path, 0ms, {});
      char command = 0;
      if (!lock.ok() || ::write(ready[1], "x", 1) != 1 || ::read(go[0], &command, 1) != 1) ::_exit(1);
      if (command == 'r') ::unlink(path.c_str());
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    go_ = UniqueFd(go[1]);
    char byte = 0;
    held_ = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~Holder() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
  }
  bool held() const { return held_; }
  // Removes the lock file and ends; back once it has ended.
  void removeAndEnd() {
    (void)!::write(go_.get(), "r", 1);
    ::waitpid(std::exchange(pid_, -1), nullptr, 0);
  }
  void kill() const { ::kill(pid_, SIGKILL); }

 private:
  pid_t pid_ = -1;
  UniqueFd go_;
  bool held_ = false;
};

bool holdsWhatIsAtThePath(const UniqueFd& fd, const std::string& path) {
  struct stat held = {}, there = {};
  return ::fstat(fd.get(), &held) == 0 && ::lstat(path.c_str(), &there) == 0 && S_ISREG(there.st_mode) &&
         held.st_ino == there.st_ino && held.st_dev == there.st_dev;
}

class LockFileTest : public testing::Test {
 protected:
  test::TempDir scratch_{"lock-test"};
  const std::string path_ = scratch_.str() + "/Sonarell/install.lock";
  int waits_ = 0;
  const std::function<void()> counted_ = [this] { ++waits_; };
};

TEST_F(LockFileTest, AHolderIsWaitedForAndItsEndReleasesTheLock) {
  {
    Holder holder(path_);
    ASSERT_TRUE(holder.held());
    const auto busy = lockFile(path_, 1000ms, counted_);
    ASSERT_FALSE(busy.ok());
    EXPECT_EQ(busy.error().kind, LockFailure::Kind::TimedOut);
    EXPECT_EQ(busy.error().reason,
              "another install of Sonarell is still running after 1 seconds; nothing was changed; try again "
              "when it has finished");
    EXPECT_EQ(waits_, 1);

    // Killed while the next one waits.
    waits_ = 0;
    const auto taken = lockFile(path_, 60s, [&] { ++waits_, holder.kill(); });
    ASSERT_TRUE(taken.ok()) << taken.error().reason;
    EXPECT_EQ(waits_, 1);
    EXPECT_TRUE(holdsWhatIsAtThePath(taken.value(), path_));
  }
  // The holder removes the file and ends after the next one opened it, before it locks it: the lock
  // taken is on the file now at the path, not on the one removed.
  Holder holder(path_);
  ASSERT_TRUE(holder.held());
  bool first = true;
  const auto taken = lockFile(path_, 60s, {}, [&] {
    if (std::exchange(first, false)) holder.removeAndEnd();
  });
  ASSERT_TRUE(taken.ok()) << taken.error().reason;
  EXPECT_TRUE(holdsWhatIsAtThePath(taken.value(), path_));
}

TEST_F(LockFileTest, WhatIsNoLockIsRefusedUnchanged) {
  const struct {
    const char* name;
    std::function<void()> make;
    std::string what;
  } rows[] = {
      {"folder", [&] { stdfs::create_directories(path_); }, "it is a folder"},
      {"foreign link", [&] { stdfs::create_symlink("elsewhere", path_); },
       "it is a symbolic link to \"elsewhere\", not a lock of this installer"},
      {"link with digits", [&] { stdfs::create_symlink("123abc", path_); },
       "it is a symbolic link to \"123abc\", not a lock of this installer"},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0); }, "it is a FIFO"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    stdfs::remove_all(scratch_.path() / "Sonarell");
    stdfs::create_directories(scratch_.path() / "Sonarell");
    row.make();
    const auto before = stdfs::symlink_status(path_).type();
    const auto refused = lockFile(path_, 60s, counted_);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, LockFailure::Kind::InTheWay);
    EXPECT_EQ(refused.error().reason, path_ + " is in the way of the install lock (" + row.what +
                                          "); nothing was changed; move it away and try again");
    EXPECT_EQ(stdfs::symlink_status(path_).type(), before);
  }
  EXPECT_EQ(waits_, 0);
}

TEST_F(LockFileTest, TheEarlierVersionsLinkLockIsWaitedForWhileItsProcessLives) {
  stdfs::create_directories(scratch_.path() / "Sonarell");
  const std::string live = std::to_string(::getpid()) + " 0f3c 12345";
  stdfs::create_symlink(live, path_);
  const auto busy = lockFile(path_, 300ms, counted_);
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().kind, LockFailure::Kind::TimedOut);
  EXPECT_EQ(waits_, 1);
  EXPECT_EQ(stdfs::read_symlink(path_), live);

  // A process that has ended and was reaped.
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
  stdfs::remove(path_);
  stdfs::create_symlink(std::to_string(ended), path_);
  const auto taken = lockFile(path_, 60s, counted_);
  ASSERT_TRUE(taken.ok()) << taken.error().reason;
  EXPECT_TRUE(holdsWhatIsAtThePath(taken.value(), path_));
  EXPECT_EQ(waits_, 1);
}

}  // namespace
}  // namespace sonarell::fs
