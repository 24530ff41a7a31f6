// The built Keyloom.app, run as a child process in a temporary home folder.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/notifications/notification_listener_linux.h"
#include "platform/plist/codec.h"
#include "register/tests/support.h"
#include "tests/support/session_bus.h"
#include "tests/support/spawn.h"

extern char** environ;

namespace sonarell::keyloom {
namespace {

namespace fsys = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::TempDir;

const std::string kExecutable = std::string(KEYLOOM_BUNDLE_DIR) + "/Contents/MacOS/Keyloom";
const std::string kUsage =
    "Usage: Keyloom /path/to/Sonarell.app [--check | --repair-enabled-list /new/backup.plist]\n";
const std::string kUnexpected = "Unexpected input method bundle ID\n";
const std::string kBundleID = "org.quennet.inputmethod.Sonarell";
const std::string kModeID = "org.quennet.inputmethod.Sonarell.Hans";
const std::string kNoBus = "unix:path=/nonexistent/keyloom-test-bus";

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the program with the arguments, HOME set to the home folder and the
// session bus at the given address; stdout and stderr go to files of their own.
Result runKeyloom(const std::vector<std::string>& args, const std::string& home,
                  const std::string& bus = kNoBus, const std::string& cwd = "") {
  TempDir capture;
  Result result;
  if (!capture.ok()) return result;
  const std::string outPath = capture / "out", errPath = capture / "err";

  result.status = testsupport::spawnAndWait(
      {kExecutable, args, {"HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=" + bus}, outPath, errPath, cwd});
  if (result.status < 0) return result;
  result.out = testing::readFile(outPath);
  result.err = testing::readFile(errPath);
  return result;
}

// Every item below the folder with its content (or its kind), to show that a
// run changed nothing.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> items;
  for (const auto& entry : fsys::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string();
    if (entry.is_symlink()) {
      items[path] = "link:" + fsys::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      items[path] = "dir";
    } else {
      items[path] = testing::readFile(path);
    }
  }
  return items;
}

std::string prefsPath(const std::string& home) {
  return home + "/Library/Preferences/com.apple.HIToolbox.plist";
}
std::string installedApp(const std::string& home) { return home + "/Library/Input Methods/Sonarell.app"; }

Dictionary layout() {
  return Dictionary{{"InputSourceKind", Value("Keyboard Layout")},
                    {"KeyboardLayout ID", Value(252)},
                    {"KeyboardLayout Name", Value("ABC")}};
}
Dictionary otherMethod() {
  return Dictionary{{"InputSourceKind", Value("Keyboard Input Method")},
                    {"Bundle ID", Value("com.example.inputmethod.Other")}};
}
Dictionary parentRecord() {
  return Dictionary{{"InputSourceKind", Value("Keyboard Input Method")}, {"Bundle ID", Value(kBundleID)}};
}
Dictionary modeRecord() {
  return Dictionary{{"InputSourceKind", Value("Input Mode")},
                    {"Bundle ID", Value(kBundleID)},
                    {"Input Mode", Value(kModeID)}};
}

void seedEnabledList(const std::string& home, const Array& list) {
  Dictionary top{{"AppleEnabledInputSources", Value(list)}};
  const auto xml = plist::toXml(Value(top));
  ASSERT_TRUE(xml);
  testing::writeFile(prefsPath(home), *xml);
}

std::optional<Value> enabledList(const std::string& home) {
  const auto top = plist::readFile(prefsPath(home));
  if (!top || !top->asDictionary()) return std::nullopt;
  const Value* list = top->asDictionary()->find("AppleEnabledInputSources");
  return list ? std::optional<Value>(*list) : std::nullopt;
}

const std::string kListing =
    "source=org.quennet.inputmethod.Sonarell\n"
    "  TISPropertyInputSourceType=TISTypeKeyboardInputMethodModeEnabled\n"
    "  TISPropertyInputSourceIsEnableCapable=1\n"
    "  TISPropertyBundleID=org.quennet.inputmethod.Sonarell\n"
    "  TISPropertyLocalizedName=Sonarell\n"
    "source=org.quennet.inputmethod.Sonarell.Hans\n"
    "  TISPropertyInputSourceType=TISTypeKeyboardInputMode\n"
    "  TISPropertyInputSourceIsEnableCapable=1\n"
    "  TISPropertyBundleID=org.quennet.inputmethod.Sonarell\n"
    "  TISPropertyLocalizedName=IPA\n";

class KeyloomProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home.ok());
    ASSERT_TRUE(fsys::exists(kExecutable)) << kExecutable;
  }
  TempDir home;
};

TEST_F(KeyloomProcess, RejectsBadInvocationsAndForeignBundlesChangingNothing) {
  const std::string h = home.path();
  const std::string app = installedApp(h);
  testing::makeBundle(app, kBundleID);
  testing::makeBundle(h + "/Other.app", "com.example.Other");
  fsys::create_directories(h + "/NoInfo.app/Contents");
  testing::writeFile(h + "/Malformed.app/Contents/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>");
  testing::writeFile(h + "/Array.app/Contents/Info.plist",
                     testing::xmlPlist("<array><string>" + kBundleID + "</string></array>"));
  const std::string odd = h + "/With space 中文\nline";
  testing::makeBundle(odd + "/Other.app", "com.example.Other");
  seedEnabledList(h, Array{Value(layout())});
  const auto before = snapshot(h);

  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases{
      {{}, kUsage},
      {{"--exchange-contents", app + "/Contents"}, kUsage},
      {{"--exchange-contents", "a", "b", "c"}, kUsage},
      {{app, "--repair-enabled-list"}, kUsage},
      {{app, "--check", "more"}, kUsage},
      {{app, "--CHECK"}, kUsage},
      {{app, "-check"}, kUsage},
      {{app, "--repair-enabled-list=" + h + "/b.plist"}, kUsage},
      {{app, "--Repair-Enabled-List", h + "/b.plist"}, kUsage},
      {{"--exchange-contents"}, kUnexpected},
      {{"--check"}, kUnexpected},
      {{h + "/Other.app"}, kUnexpected},
      {{h + "/Other.app", "--repair-enabled-list", h + "/b.plist"}, kUnexpected},
      {{h + "/NoInfo.app", "--check"}, kUnexpected},
      {{h + "/Malformed.app"}, kUnexpected},
      {{h + "/Array.app"}, kUnexpected},
      {{odd + "/Other.app", "--check"}, kUnexpected},
      {{h + "/Sonarell\xff\xfe.app"}, kUnexpected},
      {{std::string(app).replace(app.size() - 4, 1, "\xc0")}, kUnexpected},
  };
  for (const Case& c : cases) {
    const Result r = runKeyloom(c.args, h);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, "") << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.err, c.err) << ::testing::PrintToString(c.args);
  }
  EXPECT_EQ(snapshot(h), before);
}

TEST_F(KeyloomProcess, ChecksABundleAtAPathWithSpacesChineseAndANewline) {
  const std::string odd = home / "Input Methods 中文\nzwei/Sonarell.app";
  testing::makeBundle(odd, kBundleID);
  const Result r = runKeyloom({odd, "--check"}, home.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "parent-before=0 mode-before=0\nready=0\n");
  EXPECT_EQ(r.err, "");
  // Relative to the working directory, as given.
  const Result relative =
      runKeyloom({"Sonarell.app", "--check"}, home.path(), kNoBus, home / "Input Methods 中文\nzwei");
  EXPECT_EQ(relative.status, 1);
  EXPECT_EQ(relative.out, r.out);
}

class ExchangeProcess : public KeyloomProcess {
 protected:
  void SetUp() override {
    KeyloomProcess::SetUp();
    installed = installedApp(home.path());
    staged = home / "Staging/Sonarell.app";
  }
  void makeBoth() {
    testing::makeBundle(installed, kBundleID);
    testing::writeFile(installed + "/Contents/version", "old");
    testing::makeBundle(staged, kBundleID);
    testing::writeFile(staged + "/Contents/version", "new");
  }
  std::string installedVersion() const { return testing::readFile(installed + "/Contents/version"); }
  std::string stagedVersion() const { return testing::readFile(staged + "/Contents/version"); }
  Result exchange(const std::string& from, const std::string& to) {
    return runKeyloom({"--exchange-contents", from, to}, home.path());
  }
  std::string installed, staged;
};

TEST_F(ExchangeProcess, FreshInstallIsRefusedSilently) {
  testing::makeBundle(staged, kBundleID);
  const auto before = snapshot(home.path());
  const Result r = exchange(installed + "/Contents", staged + "/Contents");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(snapshot(home.path()), before);
}

TEST_F(ExchangeProcess, SwapsAndSwapsBackWhateverTheSpellingOfTheInstalledPath) {
  makeBoth();
  const Result first = exchange(installed + "/Contents", staged + "/Contents");
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, "atomic-contents-exchange=1\n");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(installedVersion(), "new");
  EXPECT_EQ(stagedVersion(), "old");

  const Result back = exchange(installed + "/Contents", staged + "/Contents");
  EXPECT_EQ(back.status, 0);
  EXPECT_EQ(installedVersion(), "old");
  EXPECT_EQ(stagedVersion(), "new");

  const std::string tilde = "~/Library/Input Methods/Sonarell.app/Contents";
  const std::string doubled = home.path() + "//Library//Input Methods/./Sonarell.app/Contents";
  const std::string trailing = installed + "/Contents/";
  const std::string dotdot = home.path() + "/Library/Logs/../Input Methods/Sonarell.app/Contents";
  for (const std::string& spelling : {tilde, doubled, trailing, dotdot}) {
    const std::string was = installedVersion();
    const Result r = exchange(spelling, staged + "/Contents/");
    EXPECT_EQ(r.status, 0) << spelling;
    EXPECT_EQ(r.out, "atomic-contents-exchange=1\n");
    EXPECT_NE(installedVersion(), was) << spelling;
  }

  // Every spelling of the home folder variable names the same home.
  const std::string h = home.path();
  const std::string base = fsys::path(h).filename();
  for (const std::string& spelling : {"/" + h + "//", h + "/./", h + "/../" + base, h + "/Library/.."}) {
    const std::string was = installedVersion();
    const Result r =
        runKeyloom({"--exchange-contents", installed + "/Contents", staged + "/Contents"}, spelling);
    EXPECT_EQ(r.status, 0) << spelling;
    EXPECT_NE(installedVersion(), was) << spelling;
  }
}

TEST_F(ExchangeProcess, RefusesEveryFailedPreconditionSilentlyLeavingBothAlone) {
  makeBoth();
  testing::makeBundle(home / "Foreign/Sonarell.app", "com.example.Other");
  testing::writeFile(home / "File/Sonarell.app/Contents", "a file");
  testing::writeFile(home / "File/Sonarell.app/Info.plist", "");
  fsys::create_directories(home / "NoBundle/Contents");
  testing::makeBundle(home / "Real/Sonarell.app", kBundleID);
  fsys::create_directory_symlink(home / "Real", home / "Linked");
  fsys::create_directory_symlink(home / "Real/Sonarell.app/Contents", home / "Real/Sonarell.app/Alias");

  const std::vector<std::pair<std::string, std::string>> cases{
      {staged + "/Contents", installed + "/Contents"},
      {installed + "/Contents", staged},
      {installed, staged + "/Contents"},
      {installed + "/Contents", home / "Foreign/Sonarell.app/Contents"},
      {installed + "/Contents", home / "File/Sonarell.app/Contents"},
      {installed + "/Contents", home / "NoBundle/Contents"},
      {installed + "/Contents", home / "Linked/Sonarell.app/Contents"},
      {installed + "/Contents", home / "Missing/Sonarell.app/Contents"},
      {installed + "/Contents\xff", staged + "/Contents"},
      {installed + "/Contents", staged + "/Cont\xe9nts"},
      // The installed folder as its own staged copy: nothing would move.
      {installed + "/Contents", installed + "/Contents"},
      {installed + "/Contents", "~/Library/Input Methods/Sonarell.app/Contents/"},
  };
  const auto before = snapshot(home.path());
  for (const auto& [from, to] : cases) {
    const Result r = exchange(from, to);
    EXPECT_EQ(r.status, 2) << from << " <-> " << to;
    EXPECT_EQ(r.out + r.err, "") << from << " <-> " << to;
  }
  EXPECT_EQ(snapshot(home.path()), before);
}

TEST_F(ExchangeProcess, AHomeReachedThroughALinkIsRefused) {
  TempDir outer;
  ASSERT_TRUE(outer.ok());
  const std::string linkedHome = outer / "home";
  fsys::create_directory_symlink(home.path(), linkedHome);
  makeBoth();
  const Result r =
      runKeyloom({"--exchange-contents", linkedHome + "/Library/Input Methods/Sonarell.app/Contents",
                  staged + "/Contents"},
                 linkedHome);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(installedVersion(), "old");
}

TEST_F(ExchangeProcess, ASwapAcrossFileSystemsIsRefusedWithTheSystemsReason) {
  makeBoth();
  TempDir shm("/dev/shm");
  ASSERT_TRUE(shm.ok());
  struct stat a {
  }, b{};
  ASSERT_EQ(::stat(home.path().c_str(), &a), 0);
  ASSERT_EQ(::stat(shm.path().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "the home and /dev/shm are on one file system";
  const std::string elsewhere = shm / "Sonarell.app";
  testing::makeBundle(elsewhere, kBundleID);
  testing::writeFile(elsewhere + "/Contents/version", "new");

  const auto homeBefore = snapshot(home.path());
  const auto shmBefore = snapshot(shm.path());
  const Result r = exchange(installed + "/Contents", elsewhere + "/Contents");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Atomic input-method upgrade: Invalid cross-device link\n");
  EXPECT_EQ(snapshot(home.path()), homeBefore);
  EXPECT_EQ(snapshot(shm.path()), shmBefore);
}

// Collects the distributed notifications posted on a private session bus.
class Notifications {
 public:
  Notifications()
      : listener_(notifications::DBusNotificationListener::create(
            [this](const std::string& name) { names_.push_back(name); })) {}
  bool ok() const { return listener_ != nullptr; }
  // Everything delivered until the bus has been quiet for a moment.
  std::vector<std::string> drain() {
    while (listener_->waitFor(std::chrono::milliseconds(300))) {
    }
    return std::exchange(names_, {});
  }

 private:
  std::vector<std::string> names_;
  std::unique_ptr<notifications::DBusNotificationListener> listener_;
};

TEST_F(KeyloomProcess, RegistersRepairsAndRefreshesKeepingEveryForeignEntry) {
  sonarell::testing::SessionBus bus;
  ASSERT_TRUE(bus.running());
  Notifications posted;
  ASSERT_TRUE(posted.ok());

  const std::string h = home.path();
  const std::string app = installedApp(h);
  testing::makeBundle(app, kBundleID);
  const Array foreign{Value(layout()), Value(otherMethod())};
  seedEnabledList(h, foreign);

  const Result before = runKeyloom({app, "--check"}, h, bus.address());
  EXPECT_EQ(before.status, 1);
  EXPECT_EQ(before.out, "parent-before=0 mode-before=0\nready=0\n");
  EXPECT_EQ(before.err, "");

  // The enabling calls append our records, so the repair finds both and refreshes.
  const std::string backup = h + "/backup one.plist";
  const Result repaired = runKeyloom({app, "--repair-enabled-list", backup}, h, bus.address());
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_EQ(repaired.err, "");
  EXPECT_EQ(repaired.out, "launchservices-register=0\nregister=0\n" + kListing +
                              "parent-before=0 mode-before=0\nenable-parent=0\nenable-mode=0\n"
                              "refresh-own-enabled-entries=1 foreign-preserved=2\n"
                              "enabled-list-preserved=4 appended=0 verified=1\n"
                              "parent-after=1 mode-after=1\nregistration-complete=1\n");
  const Value expected(
      Array{Value(layout()), Value(otherMethod()), Value(parentRecord()), Value(modeRecord())});
  EXPECT_EQ(enabledList(h), expected);
  EXPECT_EQ(plist::readFile(backup), expected);
  EXPECT_EQ(testing::readFile(backup).rfind("<?xml", 0), 0u);
  const std::string notification = "com.apple.Carbon.TISNotifyEnabledKeyboardInputSourcesChanged";
  EXPECT_EQ(posted.drain(), (std::vector<std::string>{notification, notification}));

  const Result after = runKeyloom({app, "--check"}, h, bus.address());
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(after.out, kListing + "parent-before=1 mode-before=1\nready=1\n");

  // Our records moved by the user, another entry added after them: the second
  // run restores exactly that list, and writes its backup to an unusual path.
  const Array moved{Value(parentRecord()), Value(layout()), Value(modeRecord()), Value(otherMethod()),
                    Value(Dictionary{{"InputSourceKind", Value("Keyboard Layout")},
                                     {"KeyboardLayout ID", Value(-2)},
                                     {"KeyboardLayout Name", Value("Pinyin 拼音")}})};
  seedEnabledList(h, moved);
  const std::string oddBackup = h + "/备份 with space\nline.plist";
  const Result again = runKeyloom({app, "--repair-enabled-list", oddBackup}, h, bus.address());
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "launchservices-register=0\nregister=0\n" + kListing +
                           "parent-before=1 mode-before=1\nenable-parent=0\nenable-mode=0\n"
                           "refresh-own-enabled-entries=1 foreign-preserved=3\n"
                           "enabled-list-preserved=5 appended=0 verified=1\n"
                           "parent-after=1 mode-after=1\nregistration-complete=1\n");
  EXPECT_EQ(enabledList(h), Value(moved));
  EXPECT_EQ(plist::readFile(oddBackup), Value(moved));
  EXPECT_EQ(posted.drain().size(), 2u);

  // The backup path is never reused.
  const std::string firstBackup = testing::readFile(backup);
  const Result reused = runKeyloom({app, "--repair-enabled-list", backup}, h, bus.address());
  EXPECT_EQ(reused.status, 1);
  EXPECT_EQ(reused.err, "Could not create a new enabled-source backup\n");
  EXPECT_EQ(testing::readFile(backup), firstBackup);
  EXPECT_EQ(enabledList(h), Value(moved));
  EXPECT_TRUE(posted.drain().empty());
}

TEST_F(KeyloomProcess, BadPreferencesAndBackupPathsFailWithoutTouchingTheList) {
  const std::string h = home.path();
  const std::string app = installedApp(h);
  testing::makeBundle(app, kBundleID);
  const std::string head =
      "launchservices-register=0\nregister=0\n" + kListing + "parent-before=0 mode-before=0\n";

  for (const std::string& bytes :
       {std::string("<?xml version=\"1.0\"?><plist><dict><key>AppleEnabled"),
        testing::xmlPlist("<dict><key>AppleEnabledInputSources</key><string>ABC</string></dict>"),
        testing::xmlPlist(
            "<array><dict><key>InputSourceKind</key><string>Keyboard Layout</string></dict></array>")}) {
    testing::writeFile(prefsPath(h), bytes);
    const Result r = runKeyloom({app, "--repair-enabled-list", h + "/never.plist"}, h);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, ::testing::StartsWith(head + "enable-parent="));
    EXPECT_NE(r.out, head + "enable-parent=0\n");
    EXPECT_EQ(testing::readFile(prefsPath(h)), bytes) << "left byte for byte";
    EXPECT_FALSE(fsys::exists(h + "/never.plist"));
  }

  seedEnabledList(h, Array{Value(layout())});
  for (const std::string& backup : {h + "/missing folder/backup.plist", h + "/back\xff"
                                                                            "up.plist"}) {
    const Result r = runKeyloom({app, "--repair-enabled-list", backup}, h);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, ::testing::EndsWith("enable-parent=0\nenable-mode=0\n"));
    EXPECT_EQ(r.err, "Could not create a new enabled-source backup\n");
    // Only the enabling calls' own records; the repair wrote nothing.
    EXPECT_EQ(enabledList(h), Value(Array{Value(layout()), Value(parentRecord()), Value(modeRecord())}));
    EXPECT_FALSE(fsys::exists(backup));
  }
}

}  // namespace
}  // namespace sonarell::keyloom
