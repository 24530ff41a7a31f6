// The install script on its own, against the built input method and Keyloom, in a
// throw-away home: its rejections, its promises on failure, and its upgrades.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/plist/codec.h"
#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class InstallScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fsys::create_directories(home());
    fsys::create_directories(bin());
    payloadApp = buildDir() / "Sonarell.app";
    keyloomApp = buildDir() / "Keyloom.app";
    ASSERT_TRUE(fsys::exists(payloadApp / "Contents/Info.plist")) << payloadApp;
    ASSERT_TRUE(fsys::exists(keyloomApp / "Contents/MacOS/Keyloom")) << keyloomApp;
    writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
  }

  fsys::path home() const { return dir.path() / "home"; }
  fsys::path bin() const { return dir.path() / "bin"; }
  fsys::path target() const { return home() / "Library/Input Methods/Sonarell.app"; }
  fsys::path backups() const { return home() / "Library/Application Support/Sonarell/Backups"; }

  std::map<std::string, std::string> environment() const {
    return {{"HOME", home().string()},
            {"PATH", bin().string() + ":/usr/bin:/bin:/usr/sbin:/sbin"},
            {"IPA_MAC_APP", payloadApp.string()},
            {"IPA_REGISTRATION_APP", keyloomApp.string()},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir.path() / "no-bus").string()},
            {"LANG", "C.UTF-8"}};
  }

  RunResult runScript(const std::vector<std::string>& options,
                      const std::map<std::string, std::string>& env) const {
    std::vector<std::string> argv = {"/bin/bash",
                                     (sourceDir() / "payload/Scripts/install-macos.sh").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<std::string> flat;
    for (const auto& [name, value] : env) flat.push_back(name + "=" + value);
    return run(argv, flat, home());
  }
  RunResult runScript(const std::vector<std::string>& options) const {
    return runScript(options, environment());
  }

  // A program of the same name placed before the system's on PATH.
  void fakeTool(const std::string& name, const std::string& body) const {
    writeFile(bin() / name, "#!/bin/bash\n" + body);
    fsys::permissions(bin() / name, fsys::perms::owner_all);
  }

  void expectNoStagingLeft() const {
    for (const auto& name : namesIn(home() / "Library/Input Methods")) {
      EXPECT_THAT(name, Not(HasSubstr("staging"))) << "staging folder left behind";
    }
  }

  static std::string lastLine(const std::string& output) {
    const std::size_t end = output.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const std::size_t start = output.rfind('\n', end);
    return output.substr(start == std::string::npos ? 0 : start + 1,
                         end + 1 - (start == std::string::npos ? 0 : start + 1));
  }

  TempDir dir;
  fsys::path payloadApp;
  fsys::path keyloomApp;
};

TEST_F(InstallScriptTest, RejectsBadInvocationsBeforeChangingAnything) {
  const auto before = snapshot(home());
  struct Case {
    std::vector<std::string> options;
    std::string variable;  // environment variable to change; empty: none
    std::optional<std::string> value;
    std::string expected;  // what the error line must name
  };
  const fsys::path foreign = dir.path() / "Foreign.app";
  makeBundle(foreign, "com.example.Other", "1.0");
  const fsys::path noInfo = dir.path() / "Empty.app";
  fsys::create_directories(noInfo / "Contents");
  const fsys::path noTool = dir.path() / "NoTool.app";
  makeBundle(noTool, "org.quennet.sonarell.registration", "1.0");

  const std::vector<Case> cases = {
      {{"--repair-enabled-list", "--upgrade"}, "", {}, "unknown option \"--upgrade\""},
      {{"--no-open=1"}, "", {}, "unknown option \"--no-open=1\""},
      {{"-update"}, "", {}, "unknown option \"-update\""},
      {{"--repair-enabled-list"}, "IPA_MAC_APP", std::nullopt, "IPA_MAC_APP is not set"},
      {{"--repair-enabled-list"}, "IPA_MAC_APP", (dir.path() / "missing.app").string(), "IPA_MAC_APP"},
      {{"--repair-enabled-list"}, "IPA_MAC_APP", noInfo.string(), "Contents/Info.plist is missing"},
      {{"--repair-enabled-list"}, "IPA_MAC_APP", foreign.string(), "not a Sonarell input method bundle"},
      {{"--repair-enabled-list"}, "IPA_REGISTRATION_APP", std::nullopt, "IPA_REGISTRATION_APP is not set"},
      {{"--repair-enabled-list"},
       "IPA_REGISTRATION_APP",
       noTool.string(),
       "no executable Contents/MacOS/Keyloom"},
  };
  for (const auto& c : cases) {
    auto env = environment();
    if (!c.variable.empty()) {
      if (c.value) {
        env[c.variable] = *c.value;
      } else {
        env.erase(c.variable);
      }
    }
    const RunResult result = runScript(c.options, env);
    EXPECT_NE(result.status, 0) << c.expected;
    EXPECT_THAT(result.output, HasSubstr(c.expected));
    EXPECT_THAT(result.output, HasSubstr("nothing was changed"));
    EXPECT_EQ(snapshot(home()), before) << c.expected;
  }
}

TEST_F(InstallScriptTest, FreshInstallThenUpgradesKeepEveryBackup) {
  // A fixed clock, so that the backups of this test collide with earlier ones.
  fakeTool("date",
           "case \"$1\" in +%Y%m%d-%H%M%S) echo 20260101-120000 ;; *) exec /bin/date \"$@\" ;; esac\n");

  // Without --no-open the script starts the installed program itself, once.
  const RunResult fresh = runScript({"--repair-enabled-list"});
  ASSERT_EQ(fresh.status, 0) << fresh.output;
  EXPECT_THAT(fresh.output, HasSubstr("Opening the input method: started"));
  const fsys::path imLog = home() / "Library/Logs/Sonarell/InputMethod.log";
  EXPECT_TRUE(eventually([&] { return fsys::exists(imLog); }, std::chrono::seconds(10)));
  if (fsys::exists(imLog)) {
    EXPECT_THAT(readFile(imLog), HasSubstr("started without --settings"));
  }
  // The program started by the script ends on its own; its home must outlive it.
  EXPECT_TRUE(waitForInputMethodToEnd(home()));
  EXPECT_TRUE(sameTree(target(), payloadApp));
  EXPECT_THAT(fresh.output, HasSubstr("Moving the new version into place"));
  EXPECT_THAT(fresh.output, HasSubstr("registration-complete=1"));
  EXPECT_THAT(fresh.output, HasSubstr("ready=1"));
  EXPECT_THAT(fresh.output, HasSubstr("Sonarell is installed and enabled."));
  EXPECT_EQ(namesIn(backups()), std::vector<std::string>{"AppleEnabledInputSources-20260101-120000.plist"});
  expectNoStagingLeft();

  // A newer payload; an earlier backup of the installed version with the same
  // time stamp must survive unchanged.
  const fsys::path v2 = dir.path() / "v2/Sonarell.app";
  copyTree(payloadApp, v2);
  setBundleVersion(v2, "9.1.0");
  writeFile(v2 / "Contents/Resources/new-layout.txt", "new in 9.1.0\n");
  const std::string installedVersion = bundleVersion(payloadApp);
  const fsys::path earlier = backups() / ("Sonarell-" + installedVersion + "-20260101-120000.app");
  writeFile(earlier / "marker", "earlier backup\n");
  const fsys::path v1Copy = dir.path() / "v1/Sonarell.app";
  copyTree(target(), v1Copy);

  auto env = environment();
  env["IPA_MAC_APP"] = v2.string();
  const RunResult upgrade = runScript({"--repair-enabled-list", "--no-open", "--update"}, env);
  ASSERT_EQ(upgrade.status, 0) << upgrade.output;
  EXPECT_THAT(upgrade.output, HasSubstr("atomic-contents-exchange=1"));
  EXPECT_THAT(upgrade.output, HasSubstr("refresh-own-enabled-entries=1"));
  EXPECT_TRUE(sameTree(target(), v2));
  EXPECT_EQ(readFile(earlier / "marker"), "earlier backup\n");
  EXPECT_EQ(namesIn(earlier), std::vector<std::string>{"marker"});
  const fsys::path second = backups() / ("Sonarell-" + installedVersion + "-20260101-120000-2.app");
  ASSERT_TRUE(fsys::exists(second)) << upgrade.output;
  EXPECT_TRUE(sameTree(second, v1Copy));
  EXPECT_TRUE(fsys::exists(backups() / "AppleEnabledInputSources-20260101-120000-2.plist"));
  expectNoStagingLeft();

  // The same version again: its backup is a complete 9.1.0 bundle.
  const RunResult again = runScript({"--repair-enabled-list", "--no-open", "--update"}, env);
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_TRUE(sameTree(backups() / "Sonarell-9.1.0-20260101-120000.app", v2));
  EXPECT_TRUE(sameTree(target(), v2));
}

TEST_F(InstallScriptTest, ForeignTargetIsLeftUntouched) {
  const std::vector<std::function<void()>> foreignTargets = {
      [this] {
        makeBundle(target(), "com.example.SomeoneElse", "3.0");
        writeFile(target() / "Contents/Resources/data", "someone else's\n");
      },
      [this] { writeFile(target(), "a plain file\n"); },
      [this] {
        makeBundle(dir.path() / "elsewhere/Sonarell.app", "org.quennet.inputmethod.Sonarell", "0.1");
        fsys::create_directories(target().parent_path());
        fsys::create_directory_symlink(dir.path() / "elsewhere/Sonarell.app", target());
      },
  };
  for (const auto& make : foreignTargets) {
    fsys::remove_all(home() / "Library/Input Methods");
    make();
    const auto before = snapshot(home());
    const RunResult result = runScript({"--repair-enabled-list", "--no-open", "--update"});
    EXPECT_NE(result.status, 0) << result.output;
    EXPECT_THAT(result.output, HasSubstr("left untouched"));
    EXPECT_EQ(snapshot(home()), before) << result.output;
    EXPECT_FALSE(fsys::exists(backups()));
  }
}

TEST_F(InstallScriptTest, FailedCopyLeavesNoHalfBundleAndRetriesLeaveNoBackups) {
  // cp that copies, then loses a file of the staged bundle: "fail" reports it,
  // "silent" does not, and the script's own comparison must catch it.
  fakeTool("cp",
           "/bin/cp \"$@\"; rc=$?\n"
           "dest=\"${@: -1}\"\n"
           "case \"$dest\" in *staging*) ;; *) exit $rc ;; esac\n"
           "rm -f \"$dest/Contents/Info.plist\"\n"
           "[ \"$FAKE_CP\" = silent ] && exit 0\n"
           "exit 1\n");
  const std::string hiToolbox = readFile(hiToolboxPath(home()));
  for (const std::string mode : {"fail", "silent"}) {
    auto env = environment();
    env["FAKE_CP"] = mode;

    // Fresh: nothing appears at the target, and the folders made for it go again.
    fsys::remove_all(home() / "Library");
    writeFile(hiToolboxPath(home()), hiToolbox);
    const auto before = snapshot(home());
    RunResult result = runScript({"--repair-enabled-list", "--no-open"}, env);
    EXPECT_NE(result.status, 0) << mode;
    EXPECT_THAT(result.output, HasSubstr("copying the input method into the staging folder failed"));
    EXPECT_EQ(snapshot(home()), before) << result.output;

    // Upgrade, retried: the installed version stays whole, and a backup of a
    // version that is still installed unchanged is not kept, not even once.
    const fsys::path installed = dir.path() / ("installed-" + mode);
    copyTree(payloadApp, installed);
    setBundleVersion(installed, "0.9." + std::to_string(mode.size()));
    copyTree(installed, target());
    for (int retry = 0; retry < 3; ++retry) {
      result = runScript({"--repair-enabled-list", "--no-open", "--update"}, env);
      EXPECT_NE(result.status, 0) << mode;
      EXPECT_TRUE(sameTree(target(), installed)) << mode;
      EXPECT_EQ(namesIn(backups()), std::vector<std::string>{}) << result.output;
      EXPECT_EQ(readFile(hiToolboxPath(home())), hiToolbox);
      EXPECT_THAT(lastLine(result.output), HasSubstr("Sonarell.app, unchanged; nothing else of this run."));
      expectNoStagingLeft();
    }
  }
}

TEST_F(InstallScriptTest, ALinkedPayloadIsInstalledAsARealFolder) {
  const fsys::path links = dir.path() / "links";
  fsys::create_directories(links);
  fsys::create_directory_symlink(payloadApp, links / "Sonarell.app");
  fsys::create_directory_symlink(links / "Sonarell.app", links / "Again.app");
  const fsys::path linkedContents = dir.path() / "linked-contents/Sonarell.app";
  fsys::create_directories(linkedContents);
  fsys::create_directory_symlink(payloadApp / "Contents", linkedContents / "Contents");
  const fsys::path old = dir.path() / "old/Sonarell.app";
  copyTree(payloadApp, old);
  setBundleVersion(old, "0.1.0");

  struct Case {
    std::string payload;
    bool upgrade;
    bool succeeds;
  };
  const std::vector<Case> cases = {
      {(links / "Sonarell.app").string(), false, true},
      {(links / "Again.app").string() + "/", true, true},
      {linkedContents.string(), false, false},
  };
  for (const auto& c : cases) {
    fsys::remove_all(home() / "Library/Input Methods");
    if (c.upgrade) copyTree(old, target());
    auto env = environment();
    env["IPA_MAC_APP"] = c.payload;
    const RunResult result = runScript({"--no-open"}, env);
    EXPECT_EQ(result.status == 0, c.succeeds) << result.output;
    if (c.succeeds) {
      EXPECT_FALSE(fsys::is_symlink(target())) << c.payload;
      EXPECT_FALSE(fsys::is_symlink(target() / "Contents")) << c.payload;
      EXPECT_TRUE(sameTree(target(), payloadApp)) << c.payload;
    } else {
      EXPECT_THAT(result.output, HasSubstr("staging folder failed"));
      EXPECT_FALSE(fsys::exists(target()) || fsys::is_symlink(target())) << c.payload;
    }
    expectNoStagingLeft();
  }
}

TEST_F(InstallScriptTest, WhatKilledRunsLeaveIsSweptByTheNext) {
  // diff that kills the script at its n-th call: a run killed at a known step.
  fakeTool("diff",
           "if [ -n \"${KILL_AT:-}\" ]; then\n"
           "  n=$(($(cat \"$KILL_COUNT\" 2>/dev/null || echo 0) + 1)); echo $n > \"$KILL_COUNT\"\n"
           "  [ $n = \"$KILL_AT\" ] && { kill -KILL $PPID; exit 1; }\n"
           "fi\n"
           "exec /usr/bin/diff \"$@\"\n");
  const fsys::path old = dir.path() / "old/Sonarell.app";
  copyTree(payloadApp, old);
  setBundleVersion(old, "0.1.0");
  struct Case {
    bool upgrade;
    int killAt;  // 1: the first comparison (the staged copy, or the backup of an upgrade)
  };
  for (const Case c : {Case{false, 1}, Case{true, 1}, Case{true, 2}}) {
    fsys::remove_all(home() / "Library/Input Methods");
    fsys::remove_all(home() / "Library/Application Support");
    if (c.upgrade) copyTree(old, target());
    auto env = environment();
    env["KILL_COUNT"] = (dir.path() / "count").string();
    env["KILL_AT"] = std::to_string(c.killAt);
    fsys::remove(dir.path() / "count");
    const RunResult killed = runScript({"--repair-enabled-list", "--no-open"}, env);
    ASSERT_EQ(killed.status, 128 + 9) << killed.output;

    const RunResult next = runScript({"--repair-enabled-list", "--no-open"});
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_THAT(next.output, HasSubstr("interrupted earlier run"));
    // Only whole things under final names: the installed bundle, the backups
    // folder, list backups and complete copies of the version that was installed.
    const auto whole = [&](const fsys::path& folder, const std::string& name) {
      if (folder == backups()) {
        return name.rfind("AppleEnabledInputSources-", 0) == 0 ||
               (name.rfind("Sonarell-", 0) == 0 && sameTree(folder / name, old));
      }
      return name == (folder == backups().parent_path() ? "Backups" : "Sonarell.app");
    };
    for (const auto& folder : {home() / "Library/Input Methods", backups(), backups().parent_path()}) {
      for (const auto& name : namesIn(folder)) {
        EXPECT_TRUE(whole(folder, name)) << "left behind: " << (folder / name) << "\n" << next.output;
      }
    }
    EXPECT_TRUE(sameTree(target(), payloadApp));
  }
}

TEST_F(InstallScriptTest, TwoRunsAtOnceTakeTurns) {
  // The first run stops at its first comparison, with the lock held, until it
  // reads a byte from a FIFO; the second writes that byte when it starts waiting.
  fakeTool("diff",
           "if [ -n \"${HOLD:-}\" ] && [ ! -e \"$HOLD.held\" ]; then\n"
           "  exec 3<>\"$HOLD\"; : > \"$HOLD.held\"; read -t 60 -u 3 _; exec 3<&-\n"
           "fi\n"
           "exec /usr/bin/diff \"$@\"\n");
  fakeTool("sleep",
           "if [ -n \"${RELEASE:-}\" ] && [ ! -e \"$RELEASE.sent\" ]; then\n"
           "  : > \"$RELEASE.sent\"; echo x > \"$RELEASE\"\n"
           "fi\n"
           "[ -n \"${GIVE_UP:-}\" ] && exit 0\n"
           "exec /bin/sleep \"$@\"\n");
  fakeTool("date",
           "case \"$1\" in +%Y%m%d-%H%M%S) echo 20260101-120000 ;; *) exec /bin/date \"$@\" ;; esac\n");
  for (const bool waits : {true, false}) {
    fsys::remove_all(home() / "Library/Input Methods");
    fsys::remove_all(home() / "Library/Application Support");
    const fsys::path fifo = dir.path() / (waits ? "fifo-wait" : "fifo-give-up");
    ASSERT_EQ(run({"/usr/bin/mkfifo", fifo.string()}, {}, dir.path()).status, 0);
    const auto release = [&] {
      run({"/bin/bash", "-c", "exec 3<>\"$0\"; echo x >&3", fifo.string()}, {}, dir.path());
    };

    auto first = environment();
    first["HOLD"] = fifo.string();
    RunResult a;
    std::thread thread([&] { a = runScript({"--repair-enabled-list", "--no-open"}, first); });
    const bool held =
        eventually([&] { return fsys::exists(fifo.string() + ".held"); }, std::chrono::seconds(30));
    auto second = environment();
    second[waits ? "RELEASE" : "GIVE_UP"] = fifo.string();
    const RunResult b = held ? runScript({"--repair-enabled-list", "--no-open"}, second) : RunResult{};
    release();  // lets the first go on wherever it waits
    thread.join();
    ASSERT_TRUE(held) << a.output;

    EXPECT_EQ(a.status, 0) << a.output;
    EXPECT_THAT(b.output, HasSubstr("Waiting for another install of Sonarell"));
    EXPECT_TRUE(sameTree(target(), payloadApp));
    std::vector<std::string> expected = {"AppleEnabledInputSources-20260101-120000.plist"};
    if (waits) {
      // The second found the first one's install and upgraded it.
      EXPECT_EQ(b.status, 0) << b.output;
      EXPECT_THAT(lastLine(b.output), HasSubstr("Sonarell is upgraded and enabled."));
      expected.push_back("AppleEnabledInputSources-20260101-120000-2.plist");
      expected.push_back("Sonarell-" + bundleVersion(payloadApp) + "-20260101-120000.app");
    } else {
      EXPECT_NE(b.status, 0) << b.output;
      EXPECT_THAT(b.output, HasSubstr("is still running after 60 seconds; nothing was changed"));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(backups()), expected) << a.output << b.output;
    EXPECT_FALSE(fsys::is_symlink(backups().parent_path() / "install.lock"));
  }
}

TEST_F(InstallScriptTest, EverySpellingOfTheHomeUpgradesAndALinkedHomeIsExplained) {
  const fsys::path old = dir.path() / "old/Sonarell.app";
  copyTree(payloadApp, old);
  setBundleVersion(old, "0.1.0");
  const std::string h = home().string();
  const std::string up = dir.path().filename().string();
  fsys::create_directory_symlink(home(), dir.path() / "linked");
  const std::vector<std::pair<std::string, bool>> cases = {
      {dir.path().string() + "/./home", true},
      {dir.path().string() + "/../" + up + "/home", true},
      {"/" + h + "/", true},
      {(dir.path() / "linked").string(), false},
  };
  for (const auto& [spelling, upgrades] : cases) {
    fsys::remove_all(home() / "Library/Input Methods");
    fsys::remove_all(backups());
    copyTree(old, target());
    auto env = environment();
    env["HOME"] = spelling;
    const RunResult result = runScript({"--no-open"}, env);
    EXPECT_EQ(result.status == 0, upgrades) << result.output;
    EXPECT_TRUE(sameTree(target(), upgrades ? payloadApp : old)) << spelling;
    if (!upgrades) {
      EXPECT_THAT(result.output,
                  HasSubstr("is reached through the symbolic link " + (dir.path() / "linked").string()));
      EXPECT_EQ(namesIn(backups()), std::vector<std::string>{}) << result.output;
    }
  }
}

}  // namespace
}  // namespace sonarell::road
