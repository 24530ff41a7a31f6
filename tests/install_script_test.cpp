// The install script on its own, against the built input method and Keyloom, in a throw-away home: its
// refusals, its promises on failure, its lock and its upgrades. Every test runs twice: under the system's
// bash and GNU tools as the test's own user, and under bash 3.2 with stand-ins for macOS's tools (which
// refuse options the BSD tools lack) as an ordinary user, never root, so that permissions count as they do
// for the people who install. The window's view of a run, and the enabled list a run leaves, are road_test's.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
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
      // The checkout may lie where the ordinary user cannot go (a folder of root's): the script, the bundles
      // and the shell come along into the scratch folder, which is handed to that user.
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
    // A Keyloom that, for the form named by FAIL, fails without doing anything; for the form named by
    // SIGNAL_AFTER, sends the script SIGNAL once the form has ended; and before the repair, with HOLD, waits
    // until a byte arrives on that FIFO. A form run inside $(...) has a subshell of the script as its parent:
    // the signal goes to the script itself.
    writeFile(wrapper / "Contents/Info.plist", readFile(keyloomApp / "Contents/Info.plist"));
    const std::string real = (keyloomApp / "Contents/MacOS/Keyloom").string();
    writeExecutable(
        wrapper / "Contents/MacOS/Keyloom",
        "form=other\ncase \"$1:${2:-}\" in --locked:*) exec \"" + real +
            "\" \"$@\" ;; --exchange-contents:*) form=exchange ;; --copy-tree:*) form=copy ;; "
            "--back-up:*) form=backup ;; --move-to-backups:*) form=move ;; "
            "*:--repair-enabled-list) form=repair ;; *:--remove-enabled-entries) form=remove ;; esac\n"
            "[ \"${FAIL:-}\" != $form ] || exit 1\n"
            "if [ -n \"${HOLD:-}\" ] && [ $form = repair ] && [ ! -e \"$HOLD.held\" ]; then\n"
            "  exec 3<>\"$HOLD\"; : > \"$HOLD.held\"; read -t 60 -u 3 _; exec 3<&-\nfi\n\"" +
            real +
            "\" \"$@\"; rc=$?\n"
            "if [ \"${SIGNAL_AFTER:-}\" = $form ]; then\n"
            "  script=$PPID; up=$(ps -o ppid= -p $PPID)\n"
            "  [ \"$(tr -d '\\0' </proc/$up/cmdline)\" != \"$(tr -d '\\0' </proc/$PPID/cmdline)\" ] || "
            "script=${up// /}\n"
            "  kill -\"$SIGNAL\" $script\nfi\nexit $rc\n");
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
    std::map<std::string, std::string> env = {
        {"HOME", home().string()},
        {"PATH", (macos() ? (userland() / "bin").string() + ":" : "") + "/usr/bin:/bin:/usr/sbin:/sbin"},
        {"IPA_MAC_APP", payloadApp.string()},
        {"IPA_REGISTRATION_APP", keyloomApp.string()},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir / "no-bus").string()},
        {"LANG", "C.UTF-8"}};
    if (macos()) {
      env["SONARELL_MACOS_TOOLS_LOG"] = toolsLog().string();
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
  // A home with nothing but the preferences, and `installed` (if any) at the target.
  void resetHome(const std::optional<fsys::path>& installed = std::nullopt) const {
    for (const char* folder : {"Library/Input Methods", "Library/Application Support"}) {
      run({"/bin/chmod", "-R", "u+w", (home() / folder).string()}, {}, "/");
      fsys::remove_all(home() / folder);
    }
    writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
    if (installed) copyTree(*installed, target());
  }
  // Nothing but whole things under final names once a run ended.
  void expectNothingHalfLeft(const std::string& output) const {
    for (const auto& name : namesIn(target().parent_path())) {
      EXPECT_FALSE(name.starts_with(".")) << "left behind: " << name << "\n" << output;
    }
    for (const auto& name : namesIn(support())) EXPECT_THAT(name, AnyOf("Backups", "install.lock")) << output;
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
  // The backups whose names start with `prefix`, in the order they were made (the number before the
  // extension); not those named by earlier versions.
  std::vector<std::string> backupsOf(const std::string& prefix) const {
    std::vector<std::string> names = namesIn(backups());
    std::erase_if(names, [&](const std::string& name) {
      return !name.starts_with(prefix) || name.find("Z-") == std::string::npos;
    });
    const auto number = [](const std::string& name) {
      const std::string stem = name.substr(0, name.rfind('.'));
      return std::stoul(stem.substr(stem.rfind('-') + 1));
    };
    std::sort(names.begin(), names.end(),
              [&](const auto& a, const auto& b) { return number(a) < number(b); });
    return names;
  }
  std::vector<std::string> listBackups() const { return backupsOf("AppleEnabledInputSources-"); }
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

TEST_P(InstallScriptTest, RefusalsAndFailedStepsChangeNothing) {
  makeBundle(dir / "Foreign.app", "com.example.Other", "1.0");
  fsys::create_directories(dir / "Empty.app/Contents");
  makeBundle(dir / "NoTool.app", "org.quennet.sonarell.registration", "1.0");
  writeFile(dir / "plain", "a plain file\n");
  makeBundle(dir / "elsewhere/Sonarell.app", kInputMethodId, "0.1");
  fsys::create_directory_symlink(dir / "elsewhere/Sonarell.app", dir / "link");
  plist::Array odd = foreignEnabledSources();
  odd.push_back(plist::Value("not a record"));
  const std::string twice = xmlPlist(
      "<dict><key>AppleEnabledInputSources</key><array/><key>AppleEnabledInputSources</key><array/></dict>");
  const std::string wrap = wrapper.string(), unchanged = "Sonarell.app, unchanged; nothing else of this run.";
  const std::string ours = "old/Sonarell.app", name = "Sonarell-1.0-20250101-120000.app";
  struct Case {
    std::vector<std::string> options;
    Env env;
    std::string atTarget;  // set: copied to the target
    std::string expected;
    int status = 0;              // 0: any failure
    std::string inBackups = "";  // put into the backups folder as `name`: "bundle", "file", "foreign"
    std::string list = "";       // the enabled-source file, when not the usual one
    bool folderAtLock = false;
  };
  for (const Case& c : std::vector<Case>{
           {{"--repair-enabled-list", "--upgrade"}, {}, "", "unknown option \"--upgrade\""},
           {{"--no-open=1"}, {}, "", "unknown option \"--no-open=1\""},
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
           {kRepair,
            {{"IPA_REGISTRATION_APP", wrap}, {"FAIL", "copy"}},
            "",
            "into the staging folder failed"},
           {kRepair, {}, "", "is in the way of the install lock (it is a folder)", 0, "", "", true},
           // An upgrade whose step fails keeps the installed version and no backup of it: a retry starts from
           // the home as it was.
           {kUpdate, {{"IPA_REGISTRATION_APP", wrap}, {"FAIL", "copy"}}, ours, unchanged},
           {kUpdate, {{"IPA_REGISTRATION_APP", wrap}, {"FAIL", "backup"}}, ours, unchanged},
           {kUpdate, {{"IPA_REGISTRATION_APP", wrap}, {"FAIL", "exchange"}}, ours, unchanged},
           // Restore and uninstall refuse under the lock, with their own statuses.
           {{"--restore"}, {}, "", "there is no backup of Sonarell", 66},
           {{"--restore"}, {}, ours, "there is no backup of Sonarell", 66},
           {{"--restore", "Missing.app"}, {}, "", "there is no backup named \"Missing.app\"", 66, "bundle"},
           {{"--restore", "../Backups/" + name}, {}, "", "is no name of a backup", 64, "bundle"},
           {{"--restore", name}, {}, ours, "is not a whole Sonarell bundle", 65, "file"},
           {{"--restore", name}, {}, ours, "is not a Sonarell input method bundle", 65, "foreign"},
           {{"--restore", "--update"}, {}, "", "unknown option \"--update\"", 64},
           {{"--uninstall", "--no-open"}, {}, ours, "unknown option \"--no-open\" after --uninstall", 64},
           {{"--uninstall"},
            {},
            "Foreign.app",
            "is not a Sonarell input method bundle; it was left untouched",
            1},
           {{"--uninstall"},
            {},
            ours,
            "Unexpected enabled source list; no preferences changed",
            1,
            "",
            hiToolboxPlist(odd)},
           {{"--uninstall"}, {}, ours, "Could not read the enabled input sources", 1, "", twice},
       }) {
    resetHome(c.atTarget.empty() ? std::nullopt : std::optional(dir / c.atTarget));
    if (!c.list.empty()) writeFile(hiToolboxPath(home()), c.list);
    if (c.inBackups == "bundle") copyTree(old, backups() / name);
    if (c.inBackups == "file") writeFile(backups() / name, "not a bundle\n");
    if (c.inBackups == "foreign") copyTree(dir / "Foreign.app", backups() / name);
    // Restore and uninstall look under the lock: a lock file left by earlier runs, so that only what the run
    // changes shows.
    if (c.status != 0) writeFile(lock(), "");
    if (c.folderAtLock) writeFile(lock() / "note", "mine\n");
    const auto before = snapshot(home());
    const RunResult result = runScript(c.options, c.env);
    EXPECT_TRUE(c.status ? result.status == c.status : result.status != 0) << result.status << c.expected;
    EXPECT_THAT(result.output, HasSubstr(c.expected));
    if (c.status == 0 && c.atTarget.empty() && !c.env.contains("FAIL")) {
      EXPECT_THAT(result.output, HasSubstr("nothing was changed"));
    }
    EXPECT_EQ(snapshot(home()), before) << result.output;
  }
}

TEST_P(InstallScriptTest, FreshInstallOpensItAndAnOlderPayloadSaysWhatItReplaces) {
  const fsys::path v2 = dir / "v2/Sonarell.app";
  copyTree(payloadApp, v2);
  setBundleVersion(v2, "9.1.0");
  writeFile(v2 / "Contents/Resources/new-layout.txt", "new in 9.1.0\n");
  // Without --no-open the script opens the installed program itself.
  const RunResult fresh = runScript({"--repair-enabled-list"}, {{"IPA_MAC_APP", v2.string()}});
  ASSERT_EQ(fresh.status, 0) << fresh.output;
  EXPECT_THAT(fresh.output, HasSubstr("Opening the input method: done"));
  const fsys::path imLog = home() / "Library/Logs/Sonarell/InputMethod.log";
  EXPECT_TRUE(eventually([&] { return fsys::exists(imLog); }, std::chrono::seconds(10)));
  EXPECT_THAT(fsys::exists(imLog) ? readFile(imLog) : "", HasSubstr("started without --settings"));
  EXPECT_TRUE(waitForInputMethodToEnd(home()));  // its home must outlive it

  // The older payload over the newer version: the log says so, and the backup is a complete 9.1.0 bundle.
  const RunResult back = runScript(kUpdate);
  ASSERT_EQ(back.status, 0) << back.output;
  EXPECT_THAT(back.output, HasSubstr("The installed version 9.1.0 is newer than version " +
                                     bundleVersion(payloadApp) + ", which replaces it"));
  EXPECT_TRUE(sameTree(target(), payloadApp));
  const auto all = backupsOf("Sonarell-");
  ASSERT_EQ(all.size(), 1u) << back.output;
  EXPECT_TRUE(all[0].starts_with("Sonarell-9.1.0-") && sameTree(backups() / all[0], v2)) << back.output;
  EXPECT_EQ(listBackups().size(), 2u);
  expectNothingHalfLeft(back.output);
}

TEST_P(InstallScriptTest, ReadOnlyFoldersNeverWedgeAnInstall) {
  // A payload whose folders are read-only, as a read-only package store delivers them; backups keep the
  // modes.
  const fsys::path locked = dir / "locked/Sonarell.app";
  copyTree(payloadApp, locked);
  const fsys::path lockedOld = dir / "locked-old/Sonarell.app";
  copyTree(old, lockedOld);
  for (const fsys::path& root : {locked, lockedOld}) {
    run({"/usr/bin/find", root.string(), "-type", "d", "-exec", "/bin/chmod", "a-w", "{}", "+"}, {}, "/");
  }
  const std::string wrap = wrapper.string();
  struct Case {
    const char* what;
    std::optional<fsys::path> installed;
    Env env;
    bool succeeds;
  };
  for (const Case& c : {
           Case{"upgrade of a read-only copy", lockedOld, {{"IPA_MAC_APP", locked.string()}}, true},
           Case{"failed upgrade",
                lockedOld,
                {{"IPA_MAC_APP", locked.string()}, {"IPA_REGISTRATION_APP", wrap}, {"FAIL", "exchange"}},
                false},
       }) {
    resetHome(c.installed);
    // What an interrupted earlier run left, read-only too.
    const fsys::path leftover = target().parent_path() / ".Sonarell-staging.AbC123";
    copyTree(locked, leftover / "Sonarell.app");
    run({"/bin/chmod", "-R", "a-w", leftover.string()}, {}, "/");
    const RunResult result = runScript(kUpdate, c.env);
    EXPECT_EQ(result.status == 0, c.succeeds) << c.what << "\n" << result.output;
    EXPECT_THAT(result.output, Not(HasSubstr("could not be removed"))) << c.what;
    EXPECT_TRUE(sameTree(target(), c.succeeds ? locked : *c.installed)) << c.what;
    if (!c.succeeds) {
      EXPECT_EQ(backupsOf("Sonarell-"), std::vector<std::string>{}) << c.what;
    }
    expectNothingHalfLeft(result.output);
  }

  // Something the user cannot remove is reported, and neither this run nor any later one stops at it.
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

TEST_P(InstallScriptTest, RunsKilledOrStoppedAtAnyStepLoseNoBackupAndTheNextRunCleansUp) {
  struct Case {
    const char* what;
    bool upgrade;
    std::string form, signal;
    int status;               // of the interrupted run
    std::string closing;      // in its closing line, when it has one
    std::size_t listBackups;  // kept after the interrupted run and the next one
  };
  for (const Case& c : {
           Case{"killed while staging", false, "copy", "KILL", 137, "", 1},
           Case{"killed after backing up", true, "backup", "KILL", 137, "", 1},
           Case{"stopped after the swap", true, "exchange", "TERM", 143,
                "Left: the new version at " + target().string() +
                    " (not ready, see above); the backup of the previous version at",
                1},
           Case{"killed after the swap", true, "exchange", "KILL", 137, "", 1},
           Case{"stopped after the repair", false, "repair", "TERM", 143,
                "; the backup of the enabled input sources at ", 2},
           Case{"killed after the repair", true, "repair", "KILL", 137, "", 2},
       }) {
    resetHome(c.upgrade ? std::optional(old) : std::nullopt);
    const RunResult interrupted = runScript(
        kUpdate,
        {{"IPA_REGISTRATION_APP", wrapper.string()}, {"SIGNAL_AFTER", c.form}, {"SIGNAL", c.signal}});
    ASSERT_EQ(interrupted.status, c.status) << c.what << "\n" << interrupted.output;
    if (!c.closing.empty()) {
      EXPECT_THAT(lastLine(interrupted.output), HasSubstr(c.closing)) << c.what;
    }
    // The installed version, or its backup, is whole: never neither.
    if (c.upgrade) {
      EXPECT_TRUE(sameTree(target(), old) || backedUp(old)) << c.what << "\n" << interrupted.output;
    }
    const auto lists = listBackups();

    const RunResult next = runScript(kUpdate);
    EXPECT_EQ(next.status, 0) << c.what << "\n" << next.output;
    EXPECT_TRUE(sameTree(target(), payloadApp)) << c.what;
    expectNothingHalfLeft(next.output);
    // The list as it was before the interrupted run is still in its backup.
    if (!lists.empty()) {
      SCOPED_TRACE(c.what);
      expectListThenOwnRecords(readList(backups() / lists.front()), foreignEnabledSources());
    }
    EXPECT_EQ(listBackups().size(), c.listBackups) << c.what << "\n" << interrupted.output << next.output;
    if (c.upgrade) {
      EXPECT_TRUE(backedUp(old)) << c.what;
    }
  }
}

TEST_P(InstallScriptTest, RunsAtOnceTakeTurnsAndNeverFailForTheLock) {
  // The first run holds the lock at its repair until a byte arrives on a FIFO; it gets it once the second is
  // seen waiting for the lock.
  const std::string fifo = d + "fifo";
  ASSERT_EQ(run({"/usr/bin/mkfifo", fifo}, {}, dir.str()).status, 0);
  if (asNobody()) giveToNobody();
  RunResult a;
  std::thread firstRun([&] {
    a = runScript(kRepair, {{"HOLD", fifo}, {"IPA_REGISTRATION_APP", wrapper.string()}});
  });
  const bool held = eventually([&] { return fsys::exists(fifo + ".held"); }, std::chrono::seconds(30));
  RunResult b;
  std::thread secondRun([&] { b = runScript(kRepair); });
  const auto waiting = [&] {
    for (const auto& entry : fsys::directory_iterator("/proc")) {
      std::ifstream in(entry.path() / "cmdline");
      const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (cmdline.find("--locked") != std::string::npos && cmdline.find(lock().string()) != std::string::npos)
        return true;
    }
    return false;
  };
  const bool seen = held && eventually(waiting, std::chrono::seconds(30));
  run({"/bin/bash", "-c", "exec 3<>\"$0\"; echo x >&3", fifo}, {}, dir.str());  // the first goes on
  firstRun.join();
  secondRun.join();
  ASSERT_TRUE(held && seen) << a.output << b.output;
  EXPECT_EQ(a.status, 0) << a.output;
  EXPECT_THAT(b.output, HasSubstr("Waiting for another install of Sonarell to finish"));
  // The second found the first one's install and upgraded it, with backups made after the first one's.
  EXPECT_EQ(b.status, 0) << b.output;
  EXPECT_THAT(lastLine(b.output), HasSubstr("Sonarell is upgraded and enabled."));
  const auto lists = listBackups();
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_THAT(a.output, HasSubstr(lists[0]));
  EXPECT_THAT(b.output, HasSubstr(lists[1]));
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
  // A backup named by an earlier version of the script, of yet another version: it stays as it was and counts
  // as older than every new one.
  const fsys::path earlier = backups() / "Sonarell-0.0.9-20991231-235959.app";
  copyTree(old, earlier);
  setBundleVersion(earlier, "0.0.9");
  const auto earlierTree = snapshot(earlier);
  struct Step {
    std::vector<std::string> options;
    const char* zone;  // the time zones change: the order of backups must not
    Env env;
    std::optional<fsys::path> installed;  // what the target must hold after it
    std::string closing;
  };
  const Env oldPayload = {{"IPA_MAC_APP", old.string()}};
  const std::vector<std::string> restore = {"--restore", "--no-open"}, uninstall = {"--uninstall"};
  std::string restoreByName;  // the first backup of the newer version, once made
  for (const Step& step : std::vector<Step>{
           {kRepair, "JST-9", oldPayload, old, "Sonarell is installed and enabled."},
           {kUpdate,
            "UTC0",
            {},
            payloadApp,
            "Sonarell is upgraded and enabled. Left: the new version at " + target().string() +
                "; the backup of the previous version at " + (backups() / "Sonarell-0.1.0-").string()},
           // Back to the newest backup, the version the upgrade replaced.
           {restore, "JST-9", {}, old, "Sonarell is restored and enabled. Left: the restored version at"},
           {uninstall,
            "UTC0",
            {},
            std::nullopt,
            "Sonarell is uninstalled. Left: nothing at " + target().string()},
           // Back again: the version uninstalled is the newest backup now.
           {restore, "JST-9", {}, old, "Sonarell is restored and enabled."},
           {{"--restore", "by name", "--no-open"},
            "UTC0",
            {},
            payloadApp,
            "Sonarell is restored and enabled."},
           {uninstall, "JST-9", {}, std::nullopt, "Sonarell is uninstalled."},
       }) {
    std::vector<std::string> options = step.options;
    if (options.size() > 1 && options[1] == "by name") options[1] = restoreByName;
    Env env = step.env;
    env["TZ"] = step.zone;
    const RunResult result = runScript(options, env);
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
    if (restoreByName.empty()) {
      const auto newer = backupsOf("Sonarell-" + bundleVersion(payloadApp) + "-");
      if (!newer.empty()) restoreByName = newer.front();
    }
  }
  // Every version that was ever installed is still in the backups, whole, in the order they were made.
  const auto all = backupsOf("Sonarell-");
  const std::vector<fsys::path> made = {old, payloadApp, old, old, payloadApp};
  ASSERT_EQ(all.size(), made.size());
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_TRUE(sameTree(backups() / all[i], made[i])) << all[i];
  EXPECT_EQ(snapshot(earlier), earlierTree);

  // With nothing installed, uninstalling again says so and changes nothing; after the user trashed the bundle
  // by hand, its records still leave the list.
  const auto home = snapshot(this->home());
  const RunResult again = runScript({"--uninstall"});
  EXPECT_EQ(again.status, 0) << again.output;
  EXPECT_THAT(again.output, HasSubstr("Nothing is installed at " + target().string()));
  EXPECT_EQ(snapshot(this->home()), home);
  resetHome();
  ASSERT_EQ(runScript(kRepair).status, 0);
  fsys::remove_all(target());
  const RunResult trashed = runScript({"--uninstall"});
  EXPECT_EQ(trashed.status, 0) << trashed.output;
  EXPECT_EQ(readList(hiToolboxPath(this->home())), foreignEnabledSources()) << trashed.output;
  EXPECT_EQ(listBackups().size(), 2u) << trashed.output;
}

TEST_P(InstallScriptTest, RestoreAndUninstallInterruptedOrFailedLeaveWhatTheNextRunFinishes) {
  const fsys::path none;
  struct Case {
    const char* what;
    std::vector<std::string> options;
    std::string form, signal;  // the form after which the run gets the signal; no signal: it fails
    int status;
    const fsys::path& then;    // what the next run of the same form leaves at the target
    std::string closing = "";  // of the interrupted or failed run
  };
  const std::vector<std::string> restore = {"--restore", "--no-open"}, uninstall = {"--uninstall"};
  for (const Case& c : {
           // Its backup of the installed version is there, but is never the one restored.
           Case{"restore killed before the swap", restore, "copy", "KILL", 137, old},
           // The version it replaced is the newest backup now: the next restore goes back to it.
           Case{"restore killed after the swap", restore, "exchange", "KILL", 137, payloadApp},
           Case{"uninstall killed after the list", uninstall, "remove", "KILL", 137, none},
           Case{"uninstall stopped after the list", uninstall, "remove", "TERM", 143, none,
                "still there, but no longer enabled"},
           Case{"uninstall killed after the move", uninstall, "move", "KILL", 137, none},
           Case{"uninstall whose move fails", uninstall, "move", "", 1, none,
                "still there and enabled again"},
       }) {
    resetHome();
    ASSERT_EQ(runScript(kRepair).status, 0);  // installed, enabled, and a backup to restore
    copyTree(old, backups() / "Sonarell-0.1.0-20300101-000000.app");
    Env env = {{"IPA_REGISTRATION_APP", wrapper.string()}};
    if (c.signal.empty())
      env["FAIL"] = c.form;
    else
      env.insert({{"SIGNAL_AFTER", c.form}, {"SIGNAL", c.signal}});
    const RunResult interrupted = runScript(c.options, env);
    ASSERT_EQ(interrupted.status, c.status) << c.what << "\n" << interrupted.output;
    if (!c.closing.empty()) {
      EXPECT_THAT(lastLine(interrupted.output), HasSubstr(c.closing)) << c.what;
    }
    if (c.status == 1) expectListThenOwnRecords(readList(hiToolboxPath(home())), foreignEnabledSources());
    const RunResult next = runScript(c.options);
    ASSERT_EQ(next.status, 0) << c.what << "\n" << interrupted.output << next.output;
    if (c.then.empty()) {
      EXPECT_FALSE(fsys::exists(target())) << c.what;
      EXPECT_EQ(readList(hiToolboxPath(home())), foreignEnabledSources()) << c.what;
      EXPECT_TRUE(backedUp(payloadApp)) << c.what << "\n" << next.output;
    } else {
      EXPECT_TRUE(sameTree(target(), c.then)) << c.what << "\n" << next.output;
    }
    expectNothingHalfLeft(next.output);
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
           Case{{{"HOME", d + "../" + dir.path().filename().string() + "/home"}}, true, ""},
           Case{{{"HOME", "/" + d + "home/"}}, true, ""},
           Case{{{"HOME", d + "linked"}}, true, "is reached through a symbolic link"},
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
      EXPECT_EQ(backupsOf("Sonarell-"), std::vector<std::string>{}) << result.output;
    }
    expectNothingHalfLeft(result.output);
  }
}

INSTANTIATE_TEST_SUITE_P(Userlands, InstallScriptTest,
                         ::testing::Values(Userland{"DebianBash", false, false},
                                           Userland{"MacOSShellAndToolsAsOrdinaryUser", true, true}),
                         [](const ::testing::TestParamInfo<Userland>& info) { return info.param.name; });

}  // namespace
}  // namespace sonarell::road
