#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <stop_token>
#include <thread>

#include "gtest/gtest.h"
#include "platform/fs/unique_fd.h"
#include "platform/process/child_process.h"
#include "tests/support/scratch.h"

namespace sonarell::process {
namespace {

// Collects the one termination report and the thread it came from.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Termination> termination;
  std::thread::id thread;
  int calls = 0;

  ChildProcess::TerminationHandler handler() {
    return [this](const Termination& t) {
      std::lock_guard lock(mutex);
      termination = t;
      thread = std::this_thread::get_id();
      ++calls;
      changed.notify_all();
    };
  }
  Termination wait() {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return termination.has_value(); }));
    EXPECT_NE(thread, std::this_thread::get_id());
    return termination.value_or(Termination{-1, false, 0});
  }
};

class ChildProcessTest : public ::testing::Test {
 protected:
  fs::UniqueFd openLog() {
    return fs::UniqueFd(::open((dir_ / "out.log").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  }
  testsupport::TempDir scratch_{"sonarell-process"};
  const std::filesystem::path dir_ = scratch_.path();
};

TEST_F(ChildProcessTest, ChildGetsExactArgumentsEnvironmentDirectoryAndOneOutput) {
  auto log = openLog();
  ASSERT_TRUE(log);
  const LaunchConfiguration c{"/bin/sh",
                              {"-c",
                               "printf '%s|' \"$0\" \"$@\"; echo; echo \"env=$(env | sort | tr '\\n' ,)\"; "
                               "echo \"pwd=$(pwd)\"; echo err >&2; echo out",
                               "arg one", "二", ""},
                              {"ONLY=值 with space", "PATH=/usr/bin:/bin"},
                              dir_.string(),
                              log.get(),
                              false};
  Outcome outcome;
  auto started = ChildProcess::start(c, outcome.handler());
  ASSERT_TRUE(started.process) << started.error;
  log.reset();
  EXPECT_EQ(outcome.wait().code, 0);

  const std::string text = testsupport::readFile(dir_ / "out.log");
  EXPECT_NE(text.find("arg one|二||\n"), std::string::npos) << text;
  // sh adds PWD (and sometimes SHLVL / _) of its own; nothing else of ours may leak in.
  EXPECT_NE(text.find("ONLY=值 with space,"), std::string::npos) << text;
  EXPECT_EQ(text.find("HOME="), std::string::npos) << text;
  EXPECT_NE(text.find("pwd=" + dir_.string() + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("err\nout\n"), std::string::npos) << text;
}

TEST_F(ChildProcessTest, EachEndIsReportedOnceAfterTheChildWasReaped) {
  const struct {
    std::string script;
    int code;
    bool signaled;
  } cases[] = {{"exit 0", 0, false},
               {"exit 3", 3, false},
               {"exit 255", 255, false},
               {"kill -KILL $$", 128 + SIGKILL, true}};
  for (const auto& c : cases) {
    Outcome outcome;
    auto started = ChildProcess::start({"/bin/sh", {"-c", c.script}, {}, "", -1, false}, outcome.handler());
    ASSERT_TRUE(started.process);
    const Termination t = outcome.wait();
    EXPECT_EQ(t.code, c.code) << c.script;
    EXPECT_EQ(t.signaled, c.signaled) << c.script;
    EXPECT_EQ(t.signal, c.signaled ? SIGKILL : 0) << c.script;
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(started.process->ended());
    EXPECT_EQ(::waitpid(started.process->pid(), nullptr, WNOHANG), -1);  // reaped already
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST_F(ChildProcessTest, FailedStartsReportErrnoAndDropTheHandlerUncalled) {
  for (const LaunchConfiguration& c :
       {LaunchConfiguration{"/nonexistent/bash", {}, {}, "", -1, false},
        LaunchConfiguration{"/bin/sh", {"-c", "true"}, {}, dir_ / "nowhere", -1, false}}) {
    const auto token = std::make_shared<int>(0);
    auto started = ChildProcess::start(c, [token](const Termination&) { ++*token; });
    EXPECT_FALSE(started.process);
    EXPECT_EQ(started.error, ENOENT);
    EXPECT_EQ(token.use_count(), 1);  // destroyed, not kept for a later call
    EXPECT_EQ(*token, 0);
  }
}

TEST_F(ChildProcessTest, DestroyingTheObjectOfARunningChildNeitherBlocksNorLosesTheReport) {
  // The child waits for a line from the test, so it runs on while its object goes.
  const auto fifo = dir_ / "go", marker = dir_ / "done";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::UniqueFd go(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
  Outcome outcome;
  auto started =
      ChildProcess::start({"/bin/sh",
                           {"-c", "read x < '" + fifo.string() + "'; : > '" + marker.string() + "'"},
                           {},
                           "",
                           -1,
                           false},
                          outcome.handler());
  ASSERT_TRUE(started.process);
  {
    // Should the reset wait for the child, this lets the child go after a while,
    // so that the test fails rather than hangs.
    std::jthread watchdog([&go](std::stop_token stop) {
      std::mutex m;
      std::condition_variable_any cv;
      std::unique_lock lock(m);
      if (!cv.wait_for(lock, stop, std::chrono::seconds(10), [] { return false; }))
        (void)!::write(go.get(), "\n", 1);
    });
    started.process.reset();
    EXPECT_FALSE(std::filesystem::exists(marker)) << "the reset waited for the child";
  }
  ASSERT_EQ(::write(go.get(), "\n", 1), 1);
  EXPECT_EQ(outcome.wait().code, 0);
  EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST_F(ChildProcessTest, ChildHasOnlyItsStandardStreamsAndADetachedOneItsOwnSession) {
  // A descriptor the parent holds without close-on-exec, as one inherited from
  // whoever started the installer would be.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const fs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  auto log = openLog();
  const auto report = dir_ / "report";
  // The shell itself looks ([ is built in), and writes only after looking.
  const std::string script =
      "n=0; out=; while [ $n -lt 1024 ]; do [ -e /proc/self/fd/$n ] && out=\"$out $n\"; n=$((n+1)); done; "
      "echo \"$(ps -o sid= -p $$) $(readlink /proc/$$/fd/1)$out\" > '" +
      report.string() + "'";
  for (const bool detached : {false, true}) {
    Outcome outcome;
    auto started = ChildProcess::start(
        {"/bin/sh", {"-c", script}, {"PATH=/usr/bin:/bin"}, "", log.get(), detached}, outcome.handler());
    ASSERT_TRUE(started.process);
    EXPECT_EQ(outcome.wait().code, 0);
    std::istringstream in(testsupport::readFile(report));
    pid_t sid = 0;
    std::string stdoutTarget, listed;
    in >> sid >> stdoutTarget;
    std::getline(in, listed);
    // Standard input is the parent's (which a test runner may have closed); 1 and 2 are always there.
    if (listed.rfind(" 0", 0) == 0) listed.erase(0, 2);
    EXPECT_EQ(listed, " 1 2") << detached;
    EXPECT_EQ(sid, detached ? started.process->pid() : ::getsid(0)) << detached;
    EXPECT_EQ(stdoutTarget, detached ? "/dev/null" : (dir_ / "out.log").string()) << detached;
  }
}

}  // namespace
}  // namespace sonarell::process
