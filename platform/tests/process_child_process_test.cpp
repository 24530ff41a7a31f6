#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <thread>

#include "gtest/gtest.h"
#include "platform/fs/unique_fd.h"
#include "platform/process/child_process.h"
#include "platform/process/replace_process.h"
#include "tests/support/scratch.h"

namespace sonarell::process {
namespace {

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

LaunchConfiguration shell(const std::string& script) {
  return {"/bin/sh", {"-c", script}, {}, "", -1, false};
}

class ChildProcessTest : public ::testing::Test {
 protected:
  test::TempDir scratch_{"sonarell-process"};
  const std::filesystem::path dir_ = scratch_.path();
};

// The child reports its arguments, environment, folder, session, output and open descriptors (the shell
// itself looks, [ being built in, before it opens the report).
TEST_F(ChildProcessTest, ChildGetsExactlyWhatWasConfiguredAndNothingMore) {
  // Held without close-on-exec, as one inherited from whoever started the installer would be.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const fs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  const std::string log = (dir_ / "out.log").string(), report = (dir_ / "report").string();
  LaunchConfiguration c = shell(
      "n=0; fds=; while [ $n -lt 1024 ]; do [ -e /proc/self/fd/$n ] && fds=\"$fds $n\"; n=$((n+1)); done; "
      "out=$(readlink /proc/$$/fd/1); { printf '%s|' \"$0\" \"$@\"; echo; env | sort | tr '\\n' ,; echo; "
      "pwd; ps -o sid= -p $$; echo \"$out\"; echo \"$fds\"; } > '" +
      report + "'; echo err >&2; echo out");
  c.arguments.insert(c.arguments.end(), {"arg one", "二", ""});
  c.environment = {"ONLY=值 with space", "PATH=/usr/bin:/bin"};
  c.workingDirectory = dir_.string();
  for (const bool detached : {false, true}) {
    fs::UniqueFd output(::open(log.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644));
    c.outputFd = output.get();
    c.detached = detached;
    Outcome outcome;
    auto started = ChildProcess::start(c, outcome.handler());
    ASSERT_TRUE(started) << started.error().posixError;
    output.reset();
    EXPECT_EQ(outcome.wait().code, 0);
    std::istringstream in(test::readFile(report));
    std::string args, env, pwd, sid, out, open;
    for (std::string* line : {&args, &env, &pwd, &sid, &out, &open}) std::getline(in, *line);
    EXPECT_EQ(args, "arg one|二||");
    // sh adds PWD (and sometimes SHLVL / _) of its own; nothing else of ours may leak in.
    EXPECT_NE(env.find("ONLY=值 with space,"), std::string::npos) << env;
    EXPECT_EQ(env.find("HOME="), std::string::npos) << env;
    EXPECT_EQ(pwd, dir_.string());
    EXPECT_EQ(std::stoi(sid), detached ? started.value()->pid() : ::getsid(0)) << detached;
    EXPECT_EQ(out, detached ? "/dev/null" : log) << detached;
    // Standard input is the parent's (which a test runner may have closed); 1 and 2 are always there.
    EXPECT_EQ(open.starts_with(" 0") ? open.substr(2) : open, " 1 2") << detached;
    EXPECT_EQ(test::readFile(log), detached ? "" : "err\nout\n");
  }
}

TEST_F(ChildProcessTest, EachEndIsReportedOnceAfterTheChildWasReaped) {
  const std::pair<std::string, int> cases[] = {
      {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -KILL $$", -1}};
  for (const auto& [script, code] : cases) {
    Outcome outcome;
    auto started = ChildProcess::start(shell(script), outcome.handler());
    ASSERT_TRUE(started);
    const Termination t = outcome.wait();
    EXPECT_EQ(t.code, code < 0 ? 128 + SIGKILL : code) << script;
    EXPECT_EQ(t.signaled, code < 0) << script;
    EXPECT_EQ(t.signal, code < 0 ? SIGKILL : 0) << script;
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(started.value()->ended());
    EXPECT_TRUE(::waitpid(started.value()->pid(), nullptr, WNOHANG) == -1 && errno == ECHILD);  // reaped
  }
}

TEST_F(ChildProcessTest, FailedStartsReportErrnoAndDropTheHandlerUncalled) {
  for (const LaunchConfiguration& c : {LaunchConfiguration{"/nonexistent/bash", {}, {}, "", -1, false},
                                       LaunchConfiguration{"/bin/sh", {}, {}, dir_ / "nowhere", -1, false}}) {
    const auto token = std::make_shared<int>(0);
    auto started = ChildProcess::start(c, [token](const Termination&) { ++*token; });
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().posixError, ENOENT);
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
  auto started = ChildProcess::start(shell("read x < '" + fifo.string() + "'; : > '" + marker.string() + "'"),
                                     outcome.handler());
  ASSERT_TRUE(started);
  {
    // Should the reset wait for the child, this lets it go after a while: the test fails, not hangs.
    std::jthread watchdog([&go](std::stop_token stop) {
      std::mutex m;
      std::condition_variable_any cv;
      std::unique_lock lock(m);
      if (!cv.wait_for(lock, stop, std::chrono::seconds(10), [] { return false; }))
        (void)!::write(go.get(), "\n", 1);
    });
    started.value().reset();
    EXPECT_FALSE(std::filesystem::exists(marker)) << "the reset waited for the child";
  }
  ASSERT_EQ(::write(go.get(), "\n", 1), 1);
  EXPECT_EQ(outcome.wait().code, 0);
  EXPECT_TRUE(std::filesystem::exists(marker));
}

// The program that takes over gets the one descriptor at its number, the environment with the entries added
// and none of our close-on-exec descriptors; one that cannot run leaves what was at that number.
TEST_F(ChildProcessTest, AReplacedProcessKeepsOnlyTheDescriptorHandedOver) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  fs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  const test::ScopedEnv inherited("SONARELL_INHERITED", "kept");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string script =
        "printf '%s %s' \"$SONARELL_SET\" \"$SONARELL_INHERITED\" >&7; if [ -e /proc/self/fd/" +
        std::to_string(writeEnd.get()) + " ]; then echo ' leaked' >&7; fi";
    replaceProcess({"/bin/sh", "-c", script}, writeEnd, 7,
                   {{"SONARELL_SET", "set 值"}, {"SONARELL_INHERITED", "kept"}});
    ::_exit(1);
  }
  writeEnd.reset();
  std::string got;
  char buffer[256];
  for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) got.append(buffer, n);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(got, "set 值 kept");

  const fs::UniqueFd marker(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_NE(::dup2(marker.get(), 7), -1);
  const Failure failed = replaceProcess({"/nonexistent/program"}, readEnd, 7, {});
  EXPECT_NE(failed.reason.find("No such file or directory"), std::string::npos) << failed.reason;
  struct stat atSeven = {}, null = {};
  ASSERT_EQ(::fstat(7, &atSeven) | ::fstat(marker.get(), &null), 0);
  EXPECT_EQ(atSeven.st_rdev, null.st_rdev);
  EXPECT_EQ(::close(7), 0);
}

}  // namespace
}  // namespace sonarell::process
