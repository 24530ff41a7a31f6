// The install script on its own, against the built input method and Keyloom, in a
// throw-away home: its refusals, its promises on failure, and its upgrades. The
// window's view of a run, and the enabled list a run leaves, are road_test's.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Env = std::map<std::string, std::optional<std::string>>;  // changes; nullopt removes

const std::vector<std::string> kRepair = {"--repair-enabled-list", "--no-open"};
const std::vector<std::string> kUpdate = {"--repair-enabled-list", "--no-open", "--update"};
const std::string kStamp = "20260101-120000";
const std::string kFixedDate =
    "case \"$1\" in +%Y%m%d-%H%M%S) echo " + kStamp + " ;; *) exec /bin/date \"$@\" ;; esac\n";

class InstallScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fsys::exists(keyloomApp / "Contents/MacOS/Keyloom")) << keyloomApp;
    writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
    copyTree(payloadApp, old);
    setBundleVersion(old, "0.1.0");
    // With FAKE_CP, cp copies, then loses a file of the staged bundle: "fail"
    // reports it, "silent" does not, and the script's own comparison must catch it.
    fakeTool("cp",
             "/bin/cp \"$@\"; rc=$?\ndest=\"${@: -1}\"\n"
             "case \"${FAKE_CP:-}:$dest\" in ?*:*staging*) ;; *) exit $rc ;; esac\n"
             "rm -f \"$dest/Contents/Info.plist\"\n[ \"$FAKE_CP\" = silent ] && exit 0\nexit 1\n");
  }
  fsys::path home() const { return dir / "home"; }
  fsys::path target() const { return home() / "Library/Input Methods/Sonarell.app"; }
  fsys::path backups() const { return home() / "Library/Application Support/Sonarell/Backups"; }

  RunResult runScript(const std::vector<std::string>& options, const Env& changes = {}) const {
    std::map<std::string, std::string> env = {
        {"HOME", home().string()},
        {"PATH", (dir / "bin").string() + ":/usr/bin:/bin:/usr/sbin:/sbin"},
        {"IPA_MAC_APP", payloadApp.string()},
        {"IPA_REGISTRATION_APP", keyloomApp.string()},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir / "no-bus").string()},
        {"LANG", "C.UTF-8"}};
    for (const auto& [name, value] : changes) value ? void(env[name] = *value) : void(env.erase(name));
    std::vector<std::string> argv = {"/bin/bash",
                                     (sourceDir() / "payload/Scripts/install-macos.sh").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<std::string> flat;
    for (const auto& [name, value] : env) flat.push_back(name + "=" + value);
    return run(argv, flat, home().string());
  }
  // A program of the same name placed before the system's on PATH.
  void fakeTool(const std::string& name, const std::string& body) const {
    writeFile(dir / "bin" / name, "#!/bin/bash\n" + body);
    fsys::permissions(dir / "bin" / name, fsys::perms::owner_all);
  }
  // A home with nothing but the preferences, and `installed` (if any) at the target.
  void resetHome(const std::optional<fsys::path>& installed = std::nullopt) const {
    fsys::remove_all(home() / "Library/Input Methods");
    fsys::remove_all(home() / "Library/Application Support");
    if (installed) copyTree(*installed, target());
  }
  void expectNoStagingLeft() const {
    for (const auto& name : namesIn(target().parent_path())) EXPECT_THAT(name, Not(HasSubstr("staging")));
  }
  static std::string lastLine(const std::string& output) {
    const std::string trimmed = output.substr(0, output.find_last_not_of('\n') + 1);
    return trimmed.substr(trimmed.rfind('\n') + 1);
  }

  TempDir dir;
  const std::string d = dir.str() + "/";
  const fsys::path payloadApp = buildDir() / "Sonarell.app", keyloomApp = buildDir() / "Keyloom.app";
  const fsys::path old = dir / "old/Sonarell.app";  // the payload at an older version
};

TEST_F(InstallScriptTest, RefusalsAndFailedCopiesChangeNothing) {
  makeBundle(dir / "Foreign.app", "com.example.Other", "1.0");
  fsys::create_directories(dir / "Empty.app/Contents");
  makeBundle(dir / "NoTool.app", "org.quennet.sonarell.registration", "1.0");
  writeFile(dir / "plain", "a plain file\n");
  makeBundle(dir / "elsewhere/Sonarell.app", kInputMethodId, "0.1");
  fsys::create_directory_symlink(dir / "elsewhere/Sonarell.app", dir / "link");
  struct Case {
    std::vector<std::string> options;
    Env env;
    std::string atTarget;  // set: something not ours, copied to the target
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{
           {{"--repair-enabled-list", "--upgrade"}, {}, "", "unknown option \"--upgrade\""},
           {{"--no-open=1"}, {}, "", "unknown option \"--no-open=1\""},
           {{"-update"}, {}, "", "unknown option \"-update\""},
           {{}, {{"IPA_MAC_APP", std::nullopt}}, "", "IPA_MAC_APP is not set"},
           {{}, {{"IPA_MAC_APP", d + "missing.app"}}, "", "missing.app\") is not an existing folder"},
           {{}, {{"IPA_MAC_APP", d + "Empty.app"}}, "", "Contents/Info.plist is missing"},
           {{}, {{"IPA_MAC_APP", d + "Foreign.app"}}, "", "not a Sonarell input method bundle"},
           {{}, {{"IPA_REGISTRATION_APP", std::nullopt}}, "", "IPA_REGISTRATION_APP is not set"},
           {{}, {{"IPA_REGISTRATION_APP", d + "NoTool.app"}}, "", "has no executable Contents/MacOS/Keyloom"},
           {kUpdate, {}, "Foreign.app", "left untouched"},
           {kUpdate, {}, "plain", "left untouched"},
           {kUpdate, {}, "link", "left untouched"},
           // Fresh: nothing appears at the target, and the folders made for it go again.
           {kRepair, {{"FAKE_CP", "fail"}}, "", "copying the input method into the staging folder failed"},
           {kRepair, {{"FAKE_CP", "silent"}}, "", "copying the input method into the staging folder failed"},
       }) {
    resetHome(c.atTarget.empty() ? std::nullopt : std::optional(dir / c.atTarget));
    const auto before = snapshot(home());
    const RunResult result = runScript(c.options, c.env);
    EXPECT_NE(result.status, 0) << c.expected;
    EXPECT_THAT(result.output, HasSubstr(c.expected));
    if (c.atTarget.empty() && !c.env.contains("FAKE_CP")) {
      EXPECT_THAT(result.output, HasSubstr("nothing was changed"));
    }
    EXPECT_EQ(snapshot(home()), before) << result.output;
  }
}

TEST_F(InstallScriptTest, FreshInstallThenUpgradesKeepEveryBackup) {
  fakeTool("date", kFixedDate);  // so that this test's backups collide with earlier ones
  // Without --no-open the script starts the installed program itself.
  const RunResult fresh = runScript({"--repair-enabled-list"});
  ASSERT_EQ(fresh.status, 0) << fresh.output;
  EXPECT_THAT(fresh.output, HasSubstr("Opening the input method: started"));
  const fsys::path imLog = home() / "Library/Logs/Sonarell/InputMethod.log";
  EXPECT_TRUE(eventually([&] { return fsys::exists(imLog); }, std::chrono::seconds(10)));
  EXPECT_THAT(fsys::exists(imLog) ? readFile(imLog) : "", HasSubstr("started without --settings"));
  EXPECT_TRUE(waitForInputMethodToEnd(home()));  // its home must outlive it
  EXPECT_EQ(namesIn(backups()), std::vector<std::string>{"AppleEnabledInputSources-" + kStamp + ".plist"});

  // A newer payload; an earlier backup with the same name must survive unchanged.
  const fsys::path v2 = dir / "v2/Sonarell.app";
  copyTree(payloadApp, v2);
  setBundleVersion(v2, "9.1.0");
  writeFile(v2 / "Contents/Resources/new-layout.txt", "new in 9.1.0\n");
  const std::string v1 = "Sonarell-" + bundleVersion(payloadApp) + "-" + kStamp;
  writeFile(backups() / (v1 + ".app/marker"), "earlier backup\n");
  const auto earlier = snapshot(backups() / (v1 + ".app"));
  const Env env = {{"IPA_MAC_APP", v2.string()}};
  const RunResult upgrade = runScript(kUpdate, env);
  ASSERT_EQ(upgrade.status, 0) << upgrade.output;
  EXPECT_TRUE(sameTree(target(), v2));
  EXPECT_EQ(snapshot(backups() / (v1 + ".app")), earlier);
  EXPECT_TRUE(sameTree(backups() / (v1 + "-2.app"), payloadApp)) << upgrade.output;
  EXPECT_TRUE(fsys::exists(backups() / ("AppleEnabledInputSources-" + kStamp + "-2.plist")));
  expectNoStagingLeft();

  // The same version again: its backup is a complete 9.1.0 bundle.
  const RunResult again = runScript(kUpdate, env);
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_TRUE(sameTree(backups() / ("Sonarell-9.1.0-" + kStamp + ".app"), v2));
  EXPECT_TRUE(sameTree(target(), v2));
}

TEST_F(InstallScriptTest, FailedCopiesOnRetriedUpgradesKeepTheInstalledVersionAndNoBackup) {
  // A backup of a version still installed unchanged is not kept, not even once.
  const std::string hiToolbox = readFile(hiToolboxPath(home()));
  for (const std::string mode : {"fail", "silent"}) {
    resetHome(old);
    for (int retry = 0; retry < 3; ++retry) {
      const RunResult result = runScript(kUpdate, {{"FAKE_CP", mode}});
      EXPECT_NE(result.status, 0) << mode;
      EXPECT_TRUE(sameTree(target(), old)) << mode;
      EXPECT_EQ(namesIn(backups()), std::vector<std::string>{}) << result.output;
      EXPECT_EQ(readFile(hiToolboxPath(home())), hiToolbox);
      EXPECT_THAT(lastLine(result.output), HasSubstr("Sonarell.app, unchanged; nothing else of this run."));
      expectNoStagingLeft();
    }
  }
}

TEST_F(InstallScriptTest, WhatKilledRunsLeaveIsSweptByTheNext) {
  // diff that kills the script at its n-th call: a run killed at a known step.
  fakeTool("diff",
           "if [ -n \"${KILL_AT:-}\" ]; then\n"
           "  n=$(($(cat \"$KILL_COUNT\" 2>/dev/null || echo 0) + 1)); echo $n > \"$KILL_COUNT\"\n"
           "  [ $n = \"$KILL_AT\" ] && { kill -KILL $PPID; exit 1; }\n"
           "fi\nexec /usr/bin/diff \"$@\"\n");
  // At 1: the first comparison (the staged copy, or the backup of an upgrade).
  for (const auto& [upgrade, killAt] : {std::pair{false, "1"}, {true, "1"}, {true, "2"}}) {
    resetHome(upgrade ? std::optional(old) : std::nullopt);
    fsys::remove(dir / "count");
    const RunResult killed =
        runScript(kRepair, {{"KILL_COUNT", (dir / "count").string()}, {"KILL_AT", killAt}});
    ASSERT_EQ(killed.status, 128 + 9) << killed.output;

    const RunResult next = runScript(kRepair);
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_THAT(next.output, HasSubstr("interrupted earlier run"));
    EXPECT_TRUE(sameTree(target(), payloadApp));
    // Only whole things under final names: the bundle, list backups, whole backups of the old one.
    EXPECT_EQ(namesIn(target().parent_path()), std::vector<std::string>{"Sonarell.app"});
    EXPECT_EQ(namesIn(backups().parent_path()), std::vector<std::string>{"Backups"}) << next.output;
    for (const auto& name : namesIn(backups()))
      EXPECT_TRUE(name.starts_with("AppleEnabledInputSources-") ||
                  (name.starts_with("Sonarell-") && sameTree(backups() / name, old)))
          << "left behind: " << name << "\n"
          << next.output;
  }
}

TEST_F(InstallScriptTest, TwoRunsAtOnceTakeTurns) {
  // The first run stops at its first comparison, with the lock held, until it
  // reads a byte from a FIFO; the second writes that byte when it starts waiting
  // (or, with GIVE_UP, waits no time at all).
  fakeTool("diff",
           "if [ -n \"${HOLD:-}\" ] && [ ! -e \"$HOLD.held\" ]; then\n"
           "  exec 3<>\"$HOLD\"; : > \"$HOLD.held\"; read -t 60 -u 3 _; exec 3<&-\n"
           "fi\nexec /usr/bin/diff \"$@\"\n");
  fakeTool("sleep",
           "if [ -n \"${RELEASE:-}\" ] && [ ! -e \"$RELEASE.sent\" ]; then\n"
           "  : > \"$RELEASE.sent\"; echo x > \"$RELEASE\"\n"
           "fi\n[ -n \"${GIVE_UP:-}\" ] && exit 0\nexec /bin/sleep \"$@\"\n");
  fakeTool("date", kFixedDate);
  for (const bool waits : {true, false}) {
    resetHome();
    const std::string fifo = (dir / (waits ? "fifo-wait" : "fifo-give-up")).string();
    ASSERT_EQ(run({"/usr/bin/mkfifo", fifo}, {}, dir.str()).status, 0);
    RunResult a;
    std::thread first([&] { a = runScript(kRepair, {{"HOLD", fifo}}); });
    const bool held = eventually([&] { return fsys::exists(fifo + ".held"); }, std::chrono::seconds(30));
    const RunResult b = held ? runScript(kRepair, {{waits ? "RELEASE" : "GIVE_UP", fifo}}) : RunResult{};
    run({"/bin/bash", "-c", "exec 3<>\"$0\"; echo x >&3", fifo}, {}, dir.str());  // the first goes on
    first.join();
    ASSERT_TRUE(held) << a.output;

    EXPECT_EQ(a.status, 0) << a.output;
    EXPECT_THAT(b.output, HasSubstr("Waiting for another install of Sonarell"));
    EXPECT_TRUE(sameTree(target(), payloadApp));
    std::vector<std::string> expected = {"AppleEnabledInputSources-" + kStamp + ".plist"};
    if (waits) {
      // The second found the first one's install and upgraded it.
      EXPECT_EQ(b.status, 0) << b.output;
      EXPECT_THAT(lastLine(b.output), HasSubstr("Sonarell is upgraded and enabled."));
      expected.insert(expected.begin(), "AppleEnabledInputSources-" + kStamp + "-2.plist");  // '-' < '.'
      expected.push_back("Sonarell-" + bundleVersion(payloadApp) + "-" + kStamp + ".app");
    } else {
      EXPECT_NE(b.status, 0) << b.output;
      EXPECT_THAT(b.output, HasSubstr("is still running after 60 seconds; nothing was changed"));
    }
    EXPECT_EQ(namesIn(backups()), expected) << a.output << b.output;
    EXPECT_FALSE(fsys::is_symlink(backups().parent_path() / "install.lock"));
  }
}

TEST_F(InstallScriptTest, PayloadsThroughLinksAndEverySpellingOfTheHomeInstallARealFolder) {
  fsys::create_directories(d + "links");
  fsys::create_directory_symlink(payloadApp, d + "links/Sonarell.app");
  fsys::create_directory_symlink(d + "links/Sonarell.app", d + "links/Again.app");
  fsys::create_directories(d + "linked-contents/Sonarell.app");
  fsys::create_directory_symlink(payloadApp / "Contents", d + "linked-contents/Sonarell.app/Contents");
  fsys::create_directory_symlink(home(), d + "linked");
  struct Case {
    Env env;
    bool upgrade;
    std::string refusal;  // empty: the run installs
  };
  for (const Case& c : {
           Case{{{"IPA_MAC_APP", d + "links/Sonarell.app"}}, false, ""},
           Case{{{"IPA_MAC_APP", d + "links/Again.app/"}}, true, ""},
           Case{{{"IPA_MAC_APP", d + "linked-contents/Sonarell.app"}}, false, "staging folder failed"},
           Case{{{"HOME", d + "./home"}}, true, ""},
           Case{{{"HOME", d + "../" + dir.path().filename().string() + "/home"}}, true, ""},
           Case{{{"HOME", "/" + d + "home/"}}, true, ""},
           Case{{{"HOME", d + "linked"}}, true, "is reached through the symbolic link " + d + "linked"},
       }) {
    resetHome(c.upgrade ? std::optional(old) : std::nullopt);
    const auto before = snapshot(target().parent_path());
    const RunResult result = runScript({"--no-open"}, c.env);
    EXPECT_EQ(result.status == 0, c.refusal.empty()) << result.output;
    if (c.refusal.empty()) {
      EXPECT_FALSE(fsys::is_symlink(target()) || fsys::is_symlink(target() / "Contents")) << result.output;
      EXPECT_TRUE(sameTree(target(), payloadApp)) << result.output;
    } else {
      EXPECT_THAT(result.output, HasSubstr(c.refusal));
      EXPECT_EQ(snapshot(target().parent_path()), before) << result.output;
      EXPECT_EQ(namesIn(backups()), std::vector<std::string>{}) << result.output;
    }
    expectNoStagingLeft();
  }
}

}  // namespace
}  // namespace sonarell::road
