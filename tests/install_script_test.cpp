// The install script on its own, against the built input method and Keyloom, in a
// throw-away home: its refusals, its promises on failure, its lock and its
// upgrades. Every test runs twice: under the system's bash and GNU tools as the
// test's own user, and under bash 3.2 with stand-ins for macOS's tools (which
// refuse options the BSD tools lack) as an ordinary user, never root, so that
// permissions count as they do for the people who install. The window's view of
// a run, and the enabled list a run leaves, are road_test's.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using Env = std::map<std::string, std::optional<std::string>>;  // changes; nullopt removes

const std::vector<std::string> kRepair = {"--repair-enabled-list", "--no-open"};
const std::vector<std::string> kUpdate = {"--repair-enabled-list", "--no-open", "--update"};
const std::string kStamp = "20260101-120000";
const std::string kListBackup = "AppleEnabledInputSources-" + kStamp + ".plist";
constexpr int kNobody = 65534;

struct Userland {
  const char* name;
  bool macos;         // bash 3.2 and the macOS tool stand-ins
  bool ordinaryUser;  // run as nobody when the tests run as root
};

void PrintTo(const Userland& userland, std::ostream* out) { *out << userland.name; }

class InstallScriptTest : public ::testing::TestWithParam<Userland> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fsys::exists(keyloomApp / "Contents/MacOS/Keyloom")) << keyloomApp;
    if (macos()) {
      ASSERT_TRUE(fsys::exists(userland() / "bash-3.2/bin/bash")) << userland();
    }
    if (asNobody()) {
      // The checkout may lie where the ordinary user cannot go (a folder of
      // root's): the script, the bundles and the shell come along into the scratch
      // folder, which is handed to that user.
      const fsys::path tools = dir / "tools";
      copyTree(payloadApp, tools / "Sonarell.app");
      copyTree(keyloomApp, tools / "Keyloom.app");
      copyTree(script, tools / "install-macos.sh");
      if (macos()) copyTree(userland(), tools / "macos-userland");
      payloadApp = tools / "Sonarell.app";
      keyloomApp = tools / "Keyloom.app";
      script = tools / "install-macos.sh";
      userlandCopy = tools / "macos-userland";
    }
    writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
    copyTree(payloadApp, old);
    setBundleVersion(old, "0.1.0");
    // The fakes below stand before the tools the script would otherwise find,
    // and hand over to them ($NEXT), so that the stand-ins still judge each call.
    // With FAKE_CP, a copy into a folder matching FAKE_CP_AT (the staging folder
    // by default) is spoiled after the copy: "fail" loses a file and says so,
    // "silent" loses it without a word, "kind" turns a file into a folder and
    // "dangling" into a link to nothing (the last two are what the BSD diff of
    // macOS takes for equal; the fake diff below behaves like it); "kill" kills
    // the script once the copy is made.
    fakeTool("cp",
             "\"$NEXT/cp\" \"$@\"; rc=$?\ndest=\"${@: -1}\"\n"
             "case \"$dest\" in *${FAKE_CP_AT:-staging}*) ;; *) exit $rc ;; esac\n"
             "f=\"$dest/Contents/Info.plist\"\nchmod u+w \"$dest/Contents\"\n"
             "case \"${FAKE_CP:-}\" in\n"
             "  fail) rm -f \"$f\"; exit 1 ;;\n  silent) rm -f \"$f\" ;;\n"
             "  kind) rm -f \"$f\"; mkdir \"$f\" ;;\n  dangling) rm -f \"$f\"; ln -s nowhere \"$f\" ;;\n"
             "  kill) kill -KILL $PPID ;;\n"
             "esac\nexit $rc\n");
    fakeTool("diff", "exit 0\n");
    fakeTool("date",
             "case \"$1\" in +%Y%m%d-%H%M%S) echo " + kStamp + " ;; *) exec \"$NEXT/date\" \"$@\" ;; esac\n");
    fakeTool(
        "uname",
        "[ -n \"${FAKE_UNAME:-}\" ] && { echo \"$FAKE_UNAME\"; exit 0; }\nexec \"$NEXT/uname\" \"$@\"\n");
    fakeTool("ps", "[ \"${FAKE_PS:-}\" = silent ] && exit 0\nexec \"$NEXT/ps\" \"$@\"\n");
    // mv that kills the script once it has moved something into the backups.
    fakeTool("mv",
             "\"$NEXT/mv\" \"$@\"; rc=$?\n"
             "case \"${KILL_AFTER_MV:-}:${@: -1}\" in ?*:*/Backups/Sonarell-*) kill -KILL $PPID ;; "
             "esac\nexit $rc\n");
    // A Keyloom that sends the script SIGNAL once the form named by SIGNAL_AFTER
    // ("exchange" or "repair") has ended, or holds before that form until a byte
    // arrives on the FIFO HOLD.
    writeFile(wrapper / "Contents/Info.plist", readFile(keyloomApp / "Contents/Info.plist"));
    writeExecutable(
        wrapper / "Contents/MacOS/Keyloom",
        "form=register\ncase \"$1:${2:-}\" in --exchange-contents:*) form=exchange ;; "
        "*:--repair-enabled-list) form=repair ;; *:--remove-enabled-entries) form=remove ;; esac\n"
        "if [ -n \"${HOLD:-}\" ] && [ $form = repair ] && [ ! -e \"$HOLD.held\" ]; then\n"
        "  exec 3<>\"$HOLD\"; : > \"$HOLD.held\"; read -t 60 -u 3 _; exec 3<&-\nfi\n"
        "\"" +
            (keyloomApp / "Contents/MacOS/Keyloom").string() +
            "\" \"$@\"; rc=$?\n"
            "[ \"${SIGNAL_AFTER:-}\" = $form ] && kill -\"$SIGNAL\" $PPID\nexit $rc\n");
  }
  void TearDown() override {
    if (macos() && fsys::exists(toolsLog())) {
      EXPECT_THAT(readFile(toolsLog()), Not(HasSubstr("REFUSED")))
          << "a macOS tool was called in a way it refuses";
    }
  }

  bool macos() const { return GetParam().macos; }
  bool asNobody() const { return GetParam().ordinaryUser && ::geteuid() == 0; }
  fsys::path userland() const {
    return userlandCopy.empty() ? sourceDir() / "third_party/macos-userland" : userlandCopy;
  }
  fsys::path toolsLog() const { return dir / "macos-tools.log"; }
  fsys::path home() const { return dir / "home"; }
  fsys::path target() const { return home() / "Library/Input Methods/Sonarell.app"; }
  fsys::path support() const { return home() / "Library/Application Support/Sonarell"; }
  fsys::path backups() const { return support() / "Backups"; }
  fsys::path lock() const { return support() / "install.lock"; }

  RunResult runScript(const std::vector<std::string>& options, const Env& changes = {}) const {
    const std::string next = macos() ? (userland() / "bin").string() : "/usr/bin";
    std::map<std::string, std::string> env = {
        {"HOME", home().string()},
        {"PATH",
         (dir / "bin").string() + ":" + (macos() ? next + ":" : "") + "/usr/bin:/bin:/usr/sbin:/sbin"},
        {"NEXT", next},
        {"IPA_MAC_APP", payloadApp.string()},
        {"IPA_REGISTRATION_APP", keyloomApp.string()},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir / "no-bus").string()},
        {"LANG", "C.UTF-8"}};
    if (macos()) {
      env["SONARELL_MACOS_TOOLS_LOG"] = toolsLog().string();
      // The stand-ins run the system's tools, never the fakes before them.
      env["SONARELL_MACOS_TOOLS_REAL_PATH"] = "/usr/bin:/bin:/usr/sbin:/sbin";
    }
    for (const auto& [name, value] : changes) value ? void(env[name] = *value) : void(env.erase(name));
    std::vector<std::string> argv;
    if (asNobody()) {
      giveToNobody();
      argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    }
    argv.push_back(macos() ? (userland() / "bash-3.2/bin/bash").string() : "/bin/bash");
    argv.push_back(script.string());
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<std::string> flat;
    for (const auto& [name, value] : env) flat.push_back(name + "=" + value);
    return run(argv, flat, home().string());
  }
  // Everything the test made belongs to the user the script runs as.
  void giveToNobody() const {
    run({"/bin/chown", "-R", std::to_string(kNobody) + ":" + std::to_string(kNobody), dir.str()}, {}, "/");
    for (const fsys::path& path : rootOwned) run({"/bin/chown", "0:0", path.string()}, {}, "/");
  }
  static void writeExecutable(const fsys::path& path, const std::string& body) {
    writeFile(path, "#!/bin/bash\n" + body);
    fsys::permissions(path, fsys::perms::owner_all | fsys::perms::group_read | fsys::perms::group_exec |
                                fsys::perms::others_read | fsys::perms::others_exec);
  }
  // A program of the same name placed before the others on PATH.
  void fakeTool(const std::string& name, const std::string& body) const {
    writeExecutable(dir / "bin" / name, body);
  }
  // A home with nothing but the preferences, and `installed` (if any) at the target.
  void resetHome(const std::optional<fsys::path>& installed = std::nullopt) const {
    for (const char* folder : {"Library/Input Methods", "Library/Application Support"}) {
      run({"/bin/chmod", "-R", "u+w", (home() / folder).string()}, {}, "/");
      fsys::remove_all(home() / folder);
    }
    writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
    if (installed) copyTree(*installed, target());
  }
  // Nothing but whole things under final names, and no lock, once a run ended.
  void expectNothingHalfLeft(const std::string& output) const {
    for (const auto& name : namesIn(target().parent_path())) {
      EXPECT_FALSE(name.starts_with(".Sonarell-")) << "left behind: " << name << "\n" << output;
    }
    EXPECT_EQ(namesIn(support()), std::vector<std::string>{"Backups"}) << output;
    for (const auto& name : namesIn(backups())) {
      EXPECT_TRUE(name.starts_with("AppleEnabledInputSources-") || name.starts_with("Sonarell-"))
          << "left behind: " << name << "\n"
          << output;
      if (name.starts_with("AppleEnabledInputSources-")) {
        EXPECT_TRUE(plist::readFile((backups() / name).string())) << name << " is no whole property list";
      }
    }
  }
  // Whether some backup holds `tree`, whole.
  bool backedUp(const fsys::path& tree) const {
    const auto names = namesIn(backups());
    return std::any_of(names.begin(), names.end(),
                       [&](const auto& name) { return sameTree(backups() / name, tree); });
  }
  static std::string lastLine(const std::string& output) {
    const std::string trimmed = output.substr(0, output.find_last_not_of('\n') + 1);
    return trimmed.substr(trimmed.rfind('\n') + 1);
  }

  TempDir dir;
  const std::string d = dir.str() + "/";
  fsys::path payloadApp = buildDir() / "Sonarell.app", keyloomApp = buildDir() / "Keyloom.app";
  fsys::path script = sourceDir() / "payload/Scripts/install-macos.sh", userlandCopy;
  const fsys::path old = dir / "old/Sonarell.app";  // the payload at an older version
  const fsys::path wrapper = dir / "wrap/Keyloom.app";
  std::vector<fsys::path> rootOwned;  // kept from the ordinary user
};

TEST_P(InstallScriptTest, RefusalsAndFailedCopiesChangeNothing) {
  makeBundle(dir / "Foreign.app", "com.example.Other", "1.0");
  fsys::create_directories(dir / "Empty.app/Contents");
  makeBundle(dir / "NoTool.app", "org.quennet.sonarell.registration", "1.0");
  writeFile(dir / "plain", "a plain file\n");
  makeBundle(dir / "elsewhere/Sonarell.app", kInputMethodId, "0.1");
  fsys::create_directory_symlink(dir / "elsewhere/Sonarell.app", dir / "link");
  enum class AtLock { kNothing, kFolder, kLinkToFolder, kFile };
  struct Case {
    std::vector<std::string> options;
    Env env;
    std::string atTarget;  // set: something not ours, copied to the target
    std::string expected;
    AtLock atLock = AtLock::kNothing;
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
           {kRepair, {{"FAKE_CP", "kind"}}, "", "copying the input method into the staging folder failed"},
           {kRepair,
            {{"FAKE_CP", "dangling"}},
            "",
            "copying the input method into the staging folder failed"},
           // Whatever is at the lock's path and is no lock of the script is in the way, and stays as it is.
           {kRepair, {}, "", "is in the way of the install lock (it is a folder)", AtLock::kFolder},
           {kRepair,
            {},
            "",
            "is in the way of the install lock (it is a symbolic link to",
            AtLock::kLinkToFolder},
           {kRepair, {}, "", "is in the way of the install lock (it is a file", AtLock::kFile},
       }) {
    resetHome(c.atTarget.empty() ? std::nullopt : std::optional(dir / c.atTarget));
    if (c.atLock == AtLock::kFolder) writeFile(lock() / "note", "mine\n");
    if (c.atLock == AtLock::kLinkToFolder) {
      fsys::create_directories(support());
      fsys::create_directory_symlink(dir / "elsewhere", lock());
    }
    if (c.atLock == AtLock::kFile) writeFile(lock(), "mine\n");
    const auto before = snapshot(home());
    const auto elsewhere = snapshot(dir / "elsewhere");
    const RunResult result = runScript(c.options, c.env);
    EXPECT_NE(result.status, 0) << c.expected;
    EXPECT_THAT(result.output, HasSubstr(c.expected));
    if (c.atTarget.empty() && !c.env.contains("FAKE_CP")) {
      EXPECT_THAT(result.output, HasSubstr("nothing was changed"));
    }
    EXPECT_EQ(snapshot(home()), before) << result.output;
    EXPECT_EQ(snapshot(dir / "elsewhere"), elsewhere) << result.output;
  }
}

TEST_P(InstallScriptTest, FreshInstallThenUpgradesKeepEveryBackup) {
  // Without --no-open the script starts the installed program itself.
  const RunResult fresh = runScript({"--repair-enabled-list"});
  ASSERT_EQ(fresh.status, 0) << fresh.output;
  EXPECT_THAT(fresh.output, HasSubstr("Opening the input method: started"));
  const fsys::path imLog = home() / "Library/Logs/Sonarell/InputMethod.log";
  EXPECT_TRUE(eventually([&] { return fsys::exists(imLog); }, std::chrono::seconds(10)));
  EXPECT_THAT(fsys::exists(imLog) ? readFile(imLog) : "", HasSubstr("started without --settings"));
  EXPECT_TRUE(waitForInputMethodToEnd(home()));  // its home must outlive it
  EXPECT_EQ(namesIn(backups()), std::vector<std::string>{kListBackup});

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
  EXPECT_THAT(lastLine(upgrade.output),
              HasSubstr("Sonarell is upgraded and enabled. Left: the new version at " + target().string()));

  // The same version again: its backup is a complete 9.1.0 bundle.
  const RunResult again = runScript(kUpdate, env);
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_TRUE(sameTree(backups() / ("Sonarell-9.1.0-" + kStamp + ".app"), v2));
  EXPECT_TRUE(sameTree(target(), v2));
  expectNothingHalfLeft(again.output);
}

TEST_P(InstallScriptTest, ReadOnlyFoldersNeverWedgeAnInstall) {
  // A payload whose folders are read-only, as a read-only package store delivers
  // them; copies keep the modes.
  const fsys::path locked = dir / "locked/Sonarell.app";
  copyTree(payloadApp, locked);
  const fsys::path lockedOld = dir / "locked-old/Sonarell.app";
  copyTree(old, lockedOld);
  for (const fsys::path& root : {locked, lockedOld}) {
    run({"/usr/bin/find", root.string(), "-type", "d", "-exec", "/bin/chmod", "a-w", "{}", "+"}, {}, "/");
  }
  const Env lockedPayload = {{"IPA_MAC_APP", locked.string()}};
  struct Case {
    const char* what;
    std::optional<fsys::path> installed;
    Env env;
    bool succeeds;
  };
  for (const Case& c : {
           Case{"fresh install", std::nullopt, lockedPayload, true},
           Case{"upgrade of a read-only copy", lockedOld, lockedPayload, true},
           Case{"failed fresh install",
                std::nullopt,
                {{"IPA_MAC_APP", locked.string()}, {"FAKE_CP", "fail"}},
                false},
           Case{
               "failed upgrade", lockedOld, {{"IPA_MAC_APP", locked.string()}, {"FAKE_CP", "silent"}}, false},
           Case{"failed backup", lockedOld, {{"FAKE_CP", "fail"}, {"FAKE_CP_AT", "pending"}}, false},
       }) {
    resetHome(c.installed);
    // What an interrupted earlier run left, read-only too.
    const fsys::path leftover = target().parent_path() / ".Sonarell-staging.AbC123";
    copyTree(locked, leftover / "Sonarell.app");
    run({"/bin/chmod", "-R", "a-w", leftover.string()}, {}, "/");
    const RunResult result = runScript(kUpdate, c.env);
    EXPECT_EQ(result.status == 0, c.succeeds) << c.what << "\n" << result.output;
    EXPECT_THAT(result.output, Not(HasSubstr("could not be removed"))) << c.what;
    EXPECT_THAT(result.output, Not(HasSubstr(": failed"))) << c.what;
    if (c.succeeds) {
      EXPECT_TRUE(sameTree(target(), locked)) << c.what;
    } else if (c.installed) {
      EXPECT_TRUE(sameTree(target(), *c.installed)) << c.what;
      EXPECT_EQ(namesIn(backups()), std::vector<std::string>{}) << c.what << "\n" << result.output;
    }
    for (const auto& name : namesIn(target().parent_path()))
      EXPECT_THAT(name, Not(HasSubstr("staging"))) << c.what;
    for (const auto& name : namesIn(support())) EXPECT_EQ(name, "Backups") << c.what;
    for (const auto& name : namesIn(backups())) EXPECT_FALSE(name.starts_with(".")) << c.what;
  }

  // Something the user cannot remove is reported, and neither this run nor any
  // later one stops at it.
  if (!asNobody()) return;
  resetHome();
  const fsys::path leftover = target().parent_path() / ".Sonarell-staging.XyZ789";
  writeFile(leftover / "root-only/file", "x\n");
  rootOwned = {leftover, leftover / "root-only"};
  for (const auto& options : {kRepair, kUpdate}) {
    const RunResult result = runScript(options);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_THAT(result.output, HasSubstr("Removing " + leftover.string() + ": failed, it is still there"));
    EXPECT_THAT(lastLine(result.output), HasSubstr(leftover.string() + ", which could not be removed"));
  }
}

TEST_P(InstallScriptTest, FailedCopiesOnRetriedUpgradesKeepTheInstalledVersionAndNoBackup) {
  // A backup of a version still installed unchanged is not kept, not even once.
  const std::string hiToolbox = readFile(hiToolboxPath(home()));
  for (const std::string mode : {"fail", "silent", "kind", "dangling"}) {
    resetHome(old);
    for (int retry = 0; retry < 3; ++retry) {
      const RunResult result = runScript(kUpdate, {{"FAKE_CP", mode}});
      EXPECT_NE(result.status, 0) << mode;
      EXPECT_TRUE(sameTree(target(), old)) << mode;
      EXPECT_EQ(namesIn(backups()), std::vector<std::string>{}) << result.output;
      EXPECT_EQ(readFile(hiToolboxPath(home())), hiToolbox);
      EXPECT_THAT(lastLine(result.output), HasSubstr("Sonarell.app, unchanged; nothing else of this run."));
    }
  }
  // A backup that is not whole is no reason to go on, whichever way it differs.
  for (const std::string mode : {"silent", "kind", "dangling"}) {
    resetHome(old);
    const RunResult result = runScript(kUpdate, {{"FAKE_CP", mode}, {"FAKE_CP_AT", "pending"}});
    EXPECT_NE(result.status, 0) << mode;
    EXPECT_THAT(result.output, HasSubstr("could not make a complete backup of the installed version"))
        << mode;
    EXPECT_TRUE(sameTree(target(), old)) << mode;
    EXPECT_EQ(namesIn(backups()), std::vector<std::string>{}) << result.output;
  }
}

TEST_P(InstallScriptTest, RunsKilledOrStoppedAtAnyStepLoseNoBackupAndTheNextRunCleansUp) {
  struct Case {
    const char* what;
    bool upgrade;
    Env env;
    int status;           // of the interrupted run
    std::string closing;  // in its closing line, when it has one
    int listBackups;      // kept after the interrupted run and the next one
  };
  const std::string wrap = wrapper.string();
  for (const Case& c : {
           Case{"killed while staging", false, {{"FAKE_CP", "kill"}}, 137, "", 1},
           Case{
               "killed while backing up", true, {{"FAKE_CP", "kill"}, {"FAKE_CP_AT", "pending"}}, 137, "", 1},
           Case{"stopped after the swap",
                true,
                {{"IPA_REGISTRATION_APP", wrap}, {"SIGNAL_AFTER", "exchange"}, {"SIGNAL", "TERM"}},
                143,
                "Left: the new version at " + target().string() +
                    " (not ready, see above); the backup of the "
                    "previous version at",
                1},
           Case{"killed after the swap",
                true,
                {{"IPA_REGISTRATION_APP", wrap}, {"SIGNAL_AFTER", "exchange"}, {"SIGNAL", "KILL"}},
                137,
                "",
                1},
           Case{"stopped after the repair",
                false,
                {{"IPA_REGISTRATION_APP", wrap}, {"SIGNAL_AFTER", "repair"}, {"SIGNAL", "TERM"}},
                143,
                "; the backup of the enabled input sources at " + (backups() / kListBackup).string(),
                2},
           Case{"killed after the repair",
                true,
                {{"IPA_REGISTRATION_APP", wrap}, {"SIGNAL_AFTER", "repair"}, {"SIGNAL", "KILL"}},
                137,
                "",
                2},
       }) {
    resetHome(c.upgrade ? std::optional(old) : std::nullopt);
    const RunResult interrupted = runScript(kUpdate, c.env);
    ASSERT_EQ(interrupted.status, c.status) << c.what << "\n" << interrupted.output;
    if (!c.closing.empty()) {
      EXPECT_THAT(lastLine(interrupted.output), HasSubstr(c.closing)) << c.what;
    }
    if (c.upgrade) {
      // The installed version, or its backup, is whole: never neither.
      EXPECT_TRUE(sameTree(target(), old) || backedUp(old)) << c.what << "\n" << interrupted.output;
    }

    const RunResult next = runScript(kUpdate);
    EXPECT_EQ(next.status, 0) << c.what << "\n" << next.output;
    EXPECT_TRUE(sameTree(target(), payloadApp)) << c.what;
    expectNothingHalfLeft(next.output);
    // The list as it was before the interrupted run is still in a backup.
    int lists = 0;
    for (const auto& name : namesIn(backups())) {
      if (!name.starts_with("AppleEnabledInputSources-")) continue;
      ++lists;
      if (name == kListBackup) {
        SCOPED_TRACE(c.what);
        expectListThenOwnRecords(readList(backups() / name), foreignEnabledSources());
      }
    }
    EXPECT_EQ(lists, c.listBackups) << c.what << "\n" << interrupted.output << next.output;
    if (c.upgrade && !sameTree(target(), old)) {
      EXPECT_TRUE(backedUp(old)) << c.what;
    }
  }
}

TEST_P(InstallScriptTest, TwoRunsAtOnceTakeTurns) {
  // The first run holds the lock at its repair until a byte arrives on a FIFO;
  // the second writes that byte when it starts waiting (or, with GIVE_UP, waits
  // no time at all). On macOS the owner is told by ps's start time, which must
  // not depend on the time zone, and a ps that prints nothing is no dead owner.
  fakeTool("sleep",
           "if [ -n \"${RELEASE:-}\" ] && [ ! -e \"$RELEASE.sent\" ]; then\n"
           "  : > \"$RELEASE.sent\"; echo x > \"$RELEASE\"\n"
           "fi\n[ -n \"${GIVE_UP:-}\" ] && exit 0\nexec \"$NEXT/sleep\" \"$@\"\n");
  struct Case {
    const char* what;
    Env first, second;
    bool waits;
  };
  for (const Case& c : {
           Case{"waits", {}, {}, true},
           Case{"gives up", {}, {{"GIVE_UP", "1"}}, false},
           Case{"another time zone",
                {{"FAKE_UNAME", "Darwin"}, {"TZ", "UTC0"}},
                {{"FAKE_UNAME", "Darwin"}, {"TZ", "JST-9"}},
                true},
           Case{"a silent ps",
                {{"FAKE_UNAME", "Darwin"}},
                {{"FAKE_UNAME", "Darwin"}, {"FAKE_PS", "silent"}},
                true},
       }) {
    resetHome();
    const std::string fifo = d + "fifo";
    fsys::remove(fifo + ".held");
    fsys::remove(fifo + ".sent");
    fsys::remove(fifo);
    ASSERT_EQ(run({"/usr/bin/mkfifo", fifo}, {}, dir.str()).status, 0);
    Env first = c.first, second = c.second;
    first["HOLD"] = fifo;
    first["IPA_REGISTRATION_APP"] = wrapper.string();
    second[c.waits ? "RELEASE" : "GIVE_UP"] = fifo;
    RunResult a;
    std::thread firstRun([&] { a = runScript(kRepair, first); });
    const bool held = eventually([&] { return fsys::exists(fifo + ".held"); }, std::chrono::seconds(30));
    const RunResult b = held ? runScript(kRepair, second) : RunResult{};
    run({"/bin/bash", "-c", "exec 3<>\"$0\"; echo x >&3", fifo}, {}, dir.str());  // the first goes on
    firstRun.join();
    ASSERT_TRUE(held) << c.what << "\n" << a.output;

    EXPECT_EQ(a.status, 0) << c.what << "\n" << a.output << b.output;
    EXPECT_THAT(b.output, HasSubstr("Waiting for another install of Sonarell")) << c.what;
    EXPECT_THAT(b.output, Not(HasSubstr("Removing the install lock"))) << c.what;
    EXPECT_TRUE(sameTree(target(), payloadApp));
    std::vector<std::string> expected = {kListBackup};
    if (c.waits) {
      // The second found the first one's install and upgraded it.
      EXPECT_EQ(b.status, 0) << c.what << "\n" << b.output;
      EXPECT_THAT(lastLine(b.output), HasSubstr("Sonarell is upgraded and enabled."));
      expected.insert(expected.begin(), "AppleEnabledInputSources-" + kStamp + "-2.plist");  // '-' < '.'
      expected.push_back("Sonarell-" + bundleVersion(payloadApp) + "-" + kStamp + ".app");
    } else {
      EXPECT_EQ(b.status, 75) << b.output;
      EXPECT_THAT(b.output, HasSubstr("is still running after 60 seconds; nothing was changed"));
    }
    EXPECT_EQ(namesIn(backups()), expected) << c.what << "\n" << a.output << b.output;
    EXPECT_EQ(namesIn(support()), std::vector<std::string>{"Backups"}) << c.what;
  }
}

TEST_P(InstallScriptTest, LocksOfDeadRunsAreBrokenOnceAndLeaveNothing) {
  // A process id no process has (above the kernel's largest), and a live one
  // whose start does not match what the lock says: its id was reused.
  const std::string dead = "4194999";
  const RunResult live = run({"/bin/bash", "-c", "sleep 60 >/dev/null 2>&1 & echo $!"}, {}, "/");
  const std::string reused = live.output.substr(0, live.output.find('\n'));
  struct Case {
    const char* what;
    std::optional<std::string> lock, breaking;  // link texts
    bool removed;                               // an earlier run's lock is removed
  };
  for (const Case& c : {
           Case{"dead owner", dead + " linux-x-1", std::nullopt, true},
           Case{"owner from an earlier version", dead + " Mon Dec  7 10:00:00 2026", std::nullopt, true},
           Case{"reused process id", reused + " linux-not-its-start-1", std::nullopt, true},
           Case{"dead owner and dead breaker", dead + " linux-x-1", dead + " linux-y-2", true},
           Case{"only a dead breaker", std::nullopt, dead + " linux-y-2", false},
       }) {
    resetHome();
    fsys::create_directories(support());
    if (c.lock) fsys::create_symlink(*c.lock, lock());
    if (c.breaking) fsys::create_symlink(*c.breaking, lock().string() + ".breaking");
    const RunResult result = runScript(kRepair);
    EXPECT_EQ(result.status, 0) << c.what << "\n" << result.output;
    EXPECT_EQ(result.output.find("Removing the install lock of an earlier run") != std::string::npos,
              c.removed)
        << c.what << "\n"
        << result.output;
    EXPECT_EQ(namesIn(support()), std::vector<std::string>{"Backups"}) << c.what;
  }
  run({"/bin/kill", reused}, {}, "/");
}

TEST_P(InstallScriptTest, ManyRunsAtOnceNeverFailForTheLockAndLeaveNoLock) {
  // Runs that take the lock and end at once (something not ours is at the
  // target), so that the lock changes hands as often as it can.
  fakeTool("sleep", "exec \"$NEXT/sleep\" 0.2\n");
  makeBundle(dir / "Foreign.app", "com.example.Other", "1.0");
  for (int round = 0; round < 3; ++round) {
    resetHome(dir / "Foreign.app");
    std::vector<RunResult> results(10);
    std::vector<std::thread> runs;
    for (auto& result : results) runs.emplace_back([&] { result = runScript(kUpdate); });
    for (auto& thread : runs) thread.join();
    for (const RunResult& result : results) {
      EXPECT_TRUE(result.status == 1 || result.status == 75) << result.output;
      EXPECT_THAT(result.output,
                  AnyOf(HasSubstr("is not a Sonarell input method bundle; it was left untouched"),
                        HasSubstr("is still running after 60 seconds")));
    }
    EXPECT_TRUE(sameTree(target(), dir / "Foreign.app"));
    for (const auto& name : namesIn(support())) EXPECT_EQ(name, "Backups");
  }
}

TEST_P(InstallScriptTest, AListOnlyTheBinaryFormCarriesIsBackedUpAndKept) {
  // A foreign entry with a date to the millisecond, which XML cannot carry: the
  // backup is binary, and the run must take it for the whole backup it is.
  plist::Array list = foreignEnabledSources();
  list.push_back(plist::Dictionary{{"InputSourceKind", "Keyboard Layout"},
                                   {"Added", plist::Value(plist::Date{812345678.125})}});
  const auto binary = plist::serialize(plist::Dictionary{{"AppleEnabledInputSources", plist::Value(list)}},
                                       plist::Format::kBinary);
  ASSERT_TRUE(binary);
  writeFile(hiToolboxPath(home()), *binary);
  const RunResult result = runScript(kRepair);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(readFile(backups() / kListBackup).substr(0, 8), "bplist00");
  expectListThenOwnRecords(readList(backups() / kListBackup), list);
  const auto after = plist::readFile(hiToolboxPath(home()).string());
  const plist::Value* enabled =
      after && after->asDictionary() ? after->asDictionary()->find("AppleEnabledInputSources") : nullptr;
  ASSERT_TRUE(enabled && enabled->asArray());
  EXPECT_TRUE(std::equal(list.begin(), list.end(), enabled->asArray()->begin()));
}

TEST_P(InstallScriptTest, InstallUpgradeRestoreAndUninstallGoBackAndForthWithNothingLost) {
  // The user's own things beside ours, which no step may touch.
  makeBundle(target().parent_path() / "Other.app", "com.example.Other", "2.0");
  writeFile(hiToolboxPath(home()).parent_path() / ".com.apple.HIToolbox.plist.backup", "the user's\n");
  const auto others = [&] {
    auto all = snapshot(home() / "Library");
    std::erase_if(all, [](const auto& entry) {
      return entry.first.starts_with("Input Methods/Sonarell.app") ||
             entry.first.starts_with("Application Support") || entry.first.starts_with("Logs") ||
             entry.first.starts_with("Caches") ||
             entry.first.starts_with("Preferences/com.apple.HIToolbox.plist") ||
             entry.first.starts_with("Preferences/org.quennet") || entry.first.ends_with(".plist.lock");
    });
    return all;
  };
  const auto before = others();
  const plist::Array foreign = foreignEnabledSources();
  const std::string version = bundleVersion(payloadApp);
  const auto backup = [&](const std::string& name) { return backups() / name; };
  struct Step {
    std::vector<std::string> options;
    Env env;
    std::optional<fsys::path> installed;  // what the target must hold after it
    std::string closing;
  };
  const Env oldPayload = {{"IPA_MAC_APP", old.string()}};
  for (const Step& step : std::vector<Step>{
           {kRepair, oldPayload, old, "Sonarell is installed and enabled."},
           {kUpdate, {}, payloadApp, "Sonarell is upgraded and enabled."},
           // Back to the newest backup, the version the upgrade replaced.
           {{"--restore", "--no-open"},
            {},
            old,
            "Sonarell is restored and enabled. Left: the restored version at"},
           {{"--uninstall"},
            {},
            std::nullopt,
            "Sonarell is uninstalled. Left: nothing at " + target().string()},
           // Back again: the version uninstalled is the newest backup now.
           {{"--restore", "--no-open"}, {}, old, "Sonarell is restored and enabled."},
           {{"--restore", "Sonarell-" + version + "-" + kStamp + ".app", "--no-open"},
            {},
            payloadApp,
            "Sonarell is restored and enabled."},
           {{"--uninstall"}, {}, std::nullopt, "Sonarell is uninstalled."},
       }) {
    const RunResult result = runScript(step.options, step.env);
    const std::string what = step.options.at(0) + "\n" + result.output;
    ASSERT_EQ(result.status, 0) << what;
    EXPECT_THAT(lastLine(result.output), HasSubstr(step.closing)) << what;
    if (step.installed) {
      EXPECT_TRUE(sameTree(target(), *step.installed)) << what;
      const auto list = readList(hiToolboxPath(home()));
      EXPECT_EQ(list ? list->size() : 0, foreign.size() + 2) << what;
      SCOPED_TRACE(what);
      expectListThenOwnRecords(list, foreign);
    } else {
      EXPECT_FALSE(fsys::exists(target())) << what;
      // The list as it was before anything was installed: every entry, in order, unaltered.
      EXPECT_EQ(readList(hiToolboxPath(home())), foreignEnabledSources()) << what;
    }
    EXPECT_EQ(others(), before) << what;
    expectNothingHalfLeft(result.output);
  }
  // Every version that was ever installed is still in the backups, whole.
  for (const auto& [name, tree] : {std::pair{"Sonarell-0.1.0-" + kStamp + ".app", old},
                                   {"Sonarell-" + version + "-" + kStamp + ".app", payloadApp},
                                   {"Sonarell-0.1.0-" + kStamp + "-2.app", old},
                                   {"Sonarell-" + version + "-" + kStamp + "-2.app", payloadApp}}) {
    EXPECT_TRUE(sameTree(backup(name), tree)) << name;
  }

  // With nothing installed, uninstalling again says so and changes nothing.
  const auto home = snapshot(this->home());
  const RunResult again = runScript({"--uninstall"});
  EXPECT_EQ(again.status, 0) << again.output;
  EXPECT_THAT(again.output, HasSubstr("Nothing is installed at " + target().string()));
  EXPECT_EQ(snapshot(this->home()), home);
}

TEST_P(InstallScriptTest, RestoreAndUninstallRefuseWithNothingChanged) {
  makeBundle(dir / "Foreign.app", "com.example.Other", "1.0");
  plist::Array odd = foreignEnabledSources();
  odd.push_back(plist::Value("not a record"));
  struct Case {
    std::vector<std::string> options;
    std::string expected;
    int status;
    bool installed;         // our bundle at the target (else, for --uninstall, a foreign one)
    std::string inBackups;  // put into the backups folder: "bundle", "file", "foreign"
    bool oddList;
  };
  const std::string name = "Sonarell-1.0-20250101-120000.app";
  for (const Case& c : std::vector<Case>{
           {{"--restore"}, "there is no backup of Sonarell", 66, false, "", false},
           {{"--restore"}, "there is no backup of Sonarell", 66, true, "", false},
           {{"--restore", "Missing.app"},
            "there is no backup named \"Missing.app\"",
            66,
            false,
            "bundle",
            false},
           {{"--restore", "../Backups/" + name}, "is no name of a backup", 64, false, "bundle", false},
           {{"--restore", name}, "is not a whole Sonarell bundle", 65, true, "file", false},
           {{"--restore", name}, "is not a Sonarell input method bundle", 65, true, "foreign", false},
           {{"--restore", "--update"}, "unknown option \"--update\"", 64, false, "", false},
           {{"--uninstall", "--no-open"},
            "unknown option \"--no-open\" after --uninstall",
            64,
            true,
            "",
            false},
           {{"--uninstall"},
            "is not a Sonarell input method bundle; it was left untouched",
            1,
            false,
            "",
            false},
           {{"--uninstall"}, "Unexpected enabled source list; no preferences changed", 1, true, "", true},
       }) {
    resetHome(c.installed ? std::optional(old) : std::nullopt);
    if (c.options == std::vector<std::string>{"--uninstall"} && !c.installed)
      copyTree(dir / "Foreign.app", target());
    if (c.oddList) writeFile(hiToolboxPath(home()), hiToolboxPlist(odd));
    if (c.inBackups == "bundle") copyTree(old, backups() / name);
    if (c.inBackups == "file") writeFile(backups() / name, "not a bundle\n");
    if (c.inBackups == "foreign") copyTree(dir / "Foreign.app", backups() / name);
    const auto before = snapshot(home());
    const RunResult result = runScript(c.options);
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_THAT(result.output, HasSubstr(c.expected));
    EXPECT_EQ(snapshot(home()), before) << result.output;
  }
}

TEST_P(InstallScriptTest, RestoreAndUninstallInterruptedAtAnyStepLeaveWhatTheNextRunFinishes) {
  const std::string wrap = wrapper.string();
  struct Case {
    const char* what;
    std::vector<std::string> options;
    Env env;
    int status;
  };
  for (const Case& c : {
           Case{"restore killed while staging", {"--restore", "--no-open"}, {{"FAKE_CP", "kill"}}, 137},
           Case{"uninstall killed after the list",
                {"--uninstall"},
                {{"IPA_REGISTRATION_APP", wrap}, {"SIGNAL_AFTER", "remove"}, {"SIGNAL", "KILL"}},
                137},
           Case{"uninstall stopped after the list",
                {"--uninstall"},
                {{"IPA_REGISTRATION_APP", wrap}, {"SIGNAL_AFTER", "remove"}, {"SIGNAL", "TERM"}},
                143},
           Case{"uninstall killed after the move", {"--uninstall"}, {{"KILL_AFTER_MV", "1"}}, 137},
           Case{"restore killed after the swap",
                {"--restore", "--no-open"},
                {{"IPA_REGISTRATION_APP", wrap}, {"SIGNAL_AFTER", "exchange"}, {"SIGNAL", "KILL"}},
                137},
       }) {
    resetHome();
    ASSERT_EQ(runScript(kRepair).status, 0);  // installed, enabled, and a backup to restore
    copyTree(old, backups() / "Sonarell-0.1.0-20300101-000000.app");  // the newest
    const RunResult interrupted = runScript(c.options, c.env);
    ASSERT_EQ(interrupted.status, c.status) << c.what << "\n" << interrupted.output;
    const RunResult next = runScript(c.options);
    ASSERT_EQ(next.status, 0) << c.what << "\n" << interrupted.output << next.output;
    if (c.options[0] == "--uninstall") {
      EXPECT_FALSE(fsys::exists(target())) << c.what;
      EXPECT_EQ(readList(hiToolboxPath(home())), foreignEnabledSources()) << c.what;
      EXPECT_TRUE(backedUp(payloadApp)) << c.what << "\n" << next.output;
    } else {
      EXPECT_TRUE(sameTree(target(), old)) << c.what;
    }
    for (const auto& name : namesIn(support())) EXPECT_EQ(name, "Backups") << c.what;
    for (const auto& name : namesIn(backups()))
      EXPECT_FALSE(name.starts_with(".")) << c.what << "\n" << next.output;
    for (const auto& name : namesIn(target().parent_path())) EXPECT_THAT(name, Not(HasSubstr("staging")));
  }
}

TEST_P(InstallScriptTest, PayloadsThroughLinksAndEverySpellingOfTheHomeInstallARealFolder) {
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
    for (const auto& name : namesIn(target().parent_path())) EXPECT_THAT(name, Not(HasSubstr("staging")));
  }
}

INSTANTIATE_TEST_SUITE_P(Userlands, InstallScriptTest,
                         ::testing::Values(Userland{"DebianBash", false, false},
                                           Userland{"MacOSShellAndToolsAsOrdinaryUser", true, true}),
                         [](const ::testing::TestParamInfo<Userland>& info) { return info.param.name; });

}  // namespace
}  // namespace sonarell::road
