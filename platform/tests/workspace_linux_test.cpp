#include "platform/workspace/workspace_linux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "tests/support/scratch.h"

namespace sonarell::workspace {
namespace {

namespace stdfs = std::filesystem;

class WorkspaceTest : public ::testing::Test {
 protected:
  // A bundle whose executable records its arguments and parent in `record`.
  stdfs::path makeBundle(const std::string& executableKey, bool writeExecutable, bool executableBit) {
    const auto bundle = dir_ / "Some App.app";
    stdfs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" << executableKey
        << "</dict></plist>\n";
    if (writeExecutable) {
      const auto exe = bundle / "Contents/MacOS/Tool";
      std::ofstream(exe) << "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" \"$PPID\" > '" << record().string()
                         << ".tmp'\n"
                         << "mv '" << record().string() << ".tmp' '" << record().string() << "'\n";
      stdfs::permissions(exe, executableBit ? stdfs::perms::owner_all : stdfs::perms::owner_read);
    }
    return bundle;
  }
  stdfs::path record() const { return dir_ / "record"; }

  // Opens and waits for the completion, which must come from another thread.
  std::optional<OpenError> open(const stdfs::path& bundle, std::vector<std::string> args) {
    std::mutex m;
    std::condition_variable cv;
    bool called = false;
    std::optional<OpenError> result;
    std::thread::id thread;
    LinuxWorkspace ws;
    ws.openApplication(bundle.string(), args, [&](std::optional<OpenError> e) {
      std::lock_guard lock(m);
      result = std::move(e);
      thread = std::this_thread::get_id();
      called = true;
      cv.notify_all();
    });
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return called; }));
    EXPECT_NE(thread, std::this_thread::get_id());
    return result;
  }

  std::string waitForRecord() {
    for (int i = 0; i < 400 && !stdfs::exists(record()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return stdfs::exists(record()) ? testsupport::readFile(record()) : std::string();
  }

  testsupport::TempDir scratch_{"sonarell-workspace"};
  const stdfs::path dir_ = scratch_.path();
};

TEST_F(WorkspaceTest, StartsTheBundleExecutableDetachedWithTheArguments) {
  const auto bundle = makeBundle("<key>CFBundleExecutable</key><string>Tool</string>", true, true);
  EXPECT_FALSE(open(bundle, {"--settings"}).has_value());
  const std::string text = waitForRecord();
  std::istringstream lines(text);
  std::string count, arg, parent;
  std::getline(lines, count);
  std::getline(lines, arg);
  std::getline(lines, parent);
  EXPECT_EQ(count, "1");
  EXPECT_EQ(arg, "--settings");
  // Started by us (the reaper thread keeps it our child until it ends).
  EXPECT_EQ(parent, std::to_string(::getpid()));
}

TEST_F(WorkspaceTest, ReportsWhyAnOpenFailed) {
  auto missing = open(dir_ / "Nothing.app", {"--settings"});
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->kind, OpenError::Kind::NoBundle);
  EXPECT_EQ(missing->posixError, ENOENT);

  stdfs::create_directories(dir_ / "Empty.app");
  auto empty = open(dir_ / "Empty.app", {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->kind, OpenError::Kind::NoBundle);

  auto noKey = open(makeBundle("<key>CFBundleName</key><string>x</string>", true, true), {});
  ASSERT_TRUE(noKey.has_value());
  EXPECT_EQ(noKey->kind, OpenError::Kind::NoExecutable);
  stdfs::remove_all(dir_ / "Some App.app");

  auto noFile = open(makeBundle("<key>CFBundleExecutable</key><string>Tool</string>", false, true), {});
  ASSERT_TRUE(noFile.has_value());
  EXPECT_EQ(noFile->kind, OpenError::Kind::NoExecutable);
  EXPECT_EQ(noFile->posixError, ENOENT);
  stdfs::remove_all(dir_ / "Some App.app");

  // Root passes access(X_OK) on any file with an execute bit; a file with none fails for everyone.
  auto notExecutable =
      open(makeBundle("<key>CFBundleExecutable</key><string>Tool</string>", true, false), {});
  ASSERT_TRUE(notExecutable.has_value());
  EXPECT_EQ(notExecutable->kind, OpenError::Kind::NoExecutable);
  EXPECT_EQ(notExecutable->posixError, EACCES);
  EXPECT_FALSE(stdfs::exists(record()));
}

}  // namespace
}  // namespace sonarell::workspace
