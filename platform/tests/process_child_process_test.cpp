#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/fs/unique_fd.h"
#include "platform/process/child_process.h"
#include "tests/support/scratch.h"

namespace sonarell::process {
namespace {

using ::testing::ElementsAre;

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
  LaunchConfiguration c;
  c.executable = "/bin/sh";
  c.arguments = {"-c",
                 "printf '%s|' \"$0\" \"$@\"; echo; echo \"env=$(env | sort | tr '\\n' ,)\"; "
                 "echo \"pwd=$(pwd)\"; echo err >&2; echo out",
                 "arg one", "二", ""};
  c.environment = {"ONLY=值 with space", "PATH=/usr/bin:/bin"};
  c.workingDirectory = dir_.string();
  c.outputFd = log.get();
  Outcome outcome;
  auto started = ChildProcess::start(c, outcome.handler());
  ASSERT_TRUE(started.process) << started.error;
  log.reset();
  EXPECT_EQ(outcome.wait().code, 0);
  EXPECT_NE(outcome.thread, std::this_thread::get_id());

  const std::string text = testsupport::readFile(dir_ / "out.log");
  EXPECT_NE(text.find("arg one|二||\n"), std::string::npos) << text;
  // sh adds PWD (and sometimes SHLVL / _) of its own; nothing else of ours may leak in.
  EXPECT_NE(text.find("ONLY=值 with space,"), std::string::npos) << text;
  EXPECT_EQ(text.find("HOME="), std::string::npos) << text;
  EXPECT_NE(text.find("pwd=" + dir_.string() + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("err\nout\n"), std::string::npos) << text;
}

TEST_F(ChildProcessTest, ExitStatusesSignalsAndReaping) {
  for (int code : {0, 3, 255}) {
    Outcome outcome;
    auto started = ChildProcess::start({"/bin/sh", {"-c", "exit " + std::to_string(code)}, {}, "", -1, false},
                                       outcome.handler());
    ASSERT_TRUE(started.process);
    const Termination t = outcome.wait();
    EXPECT_EQ(t.code, code);
    EXPECT_FALSE(t.signaled);
    EXPECT_EQ(outcome.calls, 1);
  }
  Outcome killed;
  auto started =
      ChildProcess::start({"/bin/sh", {"-c", "kill -KILL $$"}, {}, "", -1, false}, killed.handler());
  ASSERT_TRUE(started.process);
  const Termination t = killed.wait();
  EXPECT_TRUE(t.signaled);
  EXPECT_EQ(t.signal, SIGKILL);
  EXPECT_NE(t.code, 0);
  // Reaped: waiting for it again finds no such child.
  const pid_t pid = started.process->pid();
  for (int i = 0; i < 200 && !started.process->ended(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(started.process->ended());
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ChildProcessTest, FailedStartsReportErrnoAndNeverCallTheHandler) {
  Outcome outcome;
  auto missing = ChildProcess::start({"/nonexistent/bash", {}, {}, "", -1, false}, outcome.handler());
  EXPECT_FALSE(missing.process);
  EXPECT_EQ(missing.error, ENOENT);
  auto badDirectory = ChildProcess::start(
      {"/bin/sh", {"-c", "true"}, {}, (dir_ / "nowhere").string(), -1, false}, outcome.handler());
  EXPECT_FALSE(badDirectory.process);
  EXPECT_EQ(badDirectory.error, ENOENT);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(outcome.calls, 0);
}

TEST_F(ChildProcessTest, DestroyingTheObjectOfARunningChildNeitherBlocksNorLosesTheReport) {
  Outcome outcome;
  const auto marker = dir_ / "done";
  auto started = ChildProcess::start(
      {"/bin/sh", {"-c", "sleep 1; : > '" + marker.string() + "'"}, {}, "", -1, false}, outcome.handler());
  ASSERT_TRUE(started.process);
  started.process.reset();
  // Had the reset waited for the child, the child's mark would be there already.
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(outcome.wait().code, 0);
  EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST_F(ChildProcessTest, DetachedChildHasItsOwnSessionAndNullStreams) {
  const auto report = dir_ / "report";
  Outcome outcome;
  auto started =
      ChildProcess::start({"/bin/sh",
                           {"-c", "out=$(readlink /proc/$$/fd/1); ps -o sid= -p $$ > '" + report.string() +
                                      "'; echo \"$out\" >> '" + report.string() + "'"},
                           {"PATH=/usr/bin:/bin"},
                           "",
                           -1,
                           true},
                          outcome.handler());
  ASSERT_TRUE(started.process);
  EXPECT_EQ(outcome.wait().code, 0);
  std::istringstream in(testsupport::readFile(report));
  pid_t sid = 0;
  std::string stdoutTarget;
  in >> sid >> stdoutTarget;
  EXPECT_EQ(sid, started.process->pid());
  EXPECT_EQ(stdoutTarget, "/dev/null");
}

TEST_F(ChildProcessTest, ChildStartsWithOnlyItsStandardStreams) {
  // A descriptor the parent holds without close-on-exec, as one inherited from
  // whoever started the installer would be.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  fs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  auto log = openLog();
  const auto report = dir_ / "fds";
  // The shell itself looks ([ is built in), and writes only after looking.
  const std::string script =
      "n=0; out=; while [ $n -lt 1024 ]; do [ -e /proc/self/fd/$n ] && out=\"$out $n\"; "
      "n=$((n+1)); done; echo \"$out\" > '" +
      report.string() + "'";
  for (const bool detached : {false, true}) {
    std::filesystem::remove(report);
    Outcome outcome;
    auto started = ChildProcess::start(
        {"/bin/sh", {"-c", script}, {"PATH=/usr/bin:/bin"}, "", log.get(), detached}, outcome.handler());
    ASSERT_TRUE(started.process);
    EXPECT_EQ(outcome.wait().code, 0);
    std::string listed = testsupport::readFile(report);
    // Standard input is the parent's (which a test runner may have closed); 1 and 2 are always there.
    if (listed.rfind(" 0", 0) == 0) listed.erase(0, 2);
    EXPECT_EQ(listed, " 1 2\n") << (detached ? "detached" : "attached");
  }
}

}  // namespace
}  // namespace sonarell::process
