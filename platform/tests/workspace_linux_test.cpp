#include "platform/workspace/workspace_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "gtest/gtest.h"
#include "platform/fs/unique_fd.h"
#include "tests/support/bundle.h"

namespace sonarell::workspace {
namespace {

namespace stdfs = std::filesystem;
using Kind = OpenError::Kind;

Result<void, OpenError> open(const std::string& bundle, const std::vector<std::string>& args) {
  const auto done = std::make_shared<std::promise<std::pair<Result<void, OpenError>, std::thread::id>>>();
  auto completion = done->get_future();
  LinuxWorkspace().openApplication(bundle, args, [done](Result<void, OpenError> opened) {
    done->set_value({std::move(opened), std::this_thread::get_id()});
  });
  if (completion.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
    return OpenError{Kind::LaunchFailed, -1, "no completion"};
  const auto [opened, thread] = completion.get();
  EXPECT_NE(thread, std::this_thread::get_id());
  return opened;
}

TEST(Workspace, OpensTheBundlesExecutableDetachedWithTheArgumentsOrSaysWhyNot) {
  const test::TempDir dir("sonarell-workspace");
  // The executable reports its arguments and its parent through a FIFO the test holds open.
  const std::string fifo = dir.str() + "/report";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::UniqueFd report(::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  const auto bundle = [&](const std::string& name, const std::string& key, std::optional<stdfs::perms> mode) {
    const std::string path = dir.str() + "/" + name;
    test::writeInfoPlist(path, {{key, plist::Value("Tool")}});
    if (mode) {
      test::writeFile(path + "/Contents/MacOS/Tool",
                      "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" \"$PPID\" > '" + fifo + "'\n");
      stdfs::permissions(path + "/Contents/MacOS/Tool", *mode);
    }
    return path;
  };
  stdfs::create_directories(dir.str() + "/Empty.app");
  // Root passes access(X_OK) on any file with an execute bit; a file with none fails for everyone.
  const struct {
    std::string bundle;
    Kind kind;
    int error;
  } failures[] = {{dir.str() + "/Nothing.app", Kind::NoBundle, ENOENT},
                  {dir.str() + "/Empty.app", Kind::NoBundle, 0},
                  {bundle("NoKey.app", "CFBundleName", stdfs::perms::owner_all), Kind::NoExecutable, 0},
                  {bundle("NoFile.app", "CFBundleExecutable", std::nullopt), Kind::NoExecutable, ENOENT},
                  {bundle("NotExecutable.app", "CFBundleExecutable", stdfs::perms::owner_read),
                   Kind::NoExecutable, EACCES}};
  for (const auto& c : failures) {
    const auto opened = open(c.bundle, {"--settings"});
    ASSERT_FALSE(opened) << c.bundle;
    EXPECT_EQ(opened.error().kind, c.kind) << c.bundle;
    EXPECT_EQ(opened.error().posixError, c.error) << c.bundle;
  }

  EXPECT_TRUE(open(bundle("Some App.app", "CFBundleExecutable", stdfs::perms::owner_all), {"--settings"}));
  pollfd p{report.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  char buffer[256];
  const ssize_t n = ::read(report.get(), buffer, sizeof buffer);
  // Started by us (the reaper thread keeps it our child until it ends), and only once.
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "1\n--settings\n" + std::to_string(::getpid()) + "\n");
}

}  // namespace
}  // namespace sonarell::workspace
