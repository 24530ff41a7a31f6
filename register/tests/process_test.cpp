// The built Keyloom.app, run as a child process in a home folder of its own:
// what only the program shows, its argument vector, streams and exit statuses,
// the real exchange across folders and the real store, text input and bus.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "platform/notifications/notification_listener_linux.h"
#include "platform/plist/codec.h"
#include "register/tests/support.h"
#include "tests/support/session_bus.h"
#include "tests/support/spawn.h"

namespace sonarell::keyloom {
namespace {

namespace fsys = std::filesystem;
using namespace test;

const std::string kExecutable = std::string(KEYLOOM_BUNDLE_DIR) + "/Contents/MacOS/Keyloom";
const std::string kNoBus = "unix:path=/nonexistent/keyloom-test-bus";
const std::string kBundleID(BundleID);

Outcome runKeyloom(const std::vector<std::string>& args, const std::string& home,
                   const std::string& bus = kNoBus) {
  TempDir capture;
  const std::string out = capture / "out", err = capture / "err";
  const int status = testsupport::spawnAndWait(
      {kExecutable, args, {"HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=" + bus}, out, err, ""});
  return {status, readFile(out), readFile(err)};
}

// Every item below the folder with its content or kind, to show a run changed nothing.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> items;
  for (const auto& e : fsys::recursive_directory_iterator(root)) {
    items[e.path()] = e.is_symlink()     ? "link:" + fsys::read_symlink(e.path()).string()
                      : e.is_directory() ? "dir"
                                         : readFile(e.path());
  }
  return items;
}

class KeyloomProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fsys::exists(kExecutable)) << kExecutable;
    makeBundle(installed, kBundleID);
    writeFile(contents + "/version", "old");
    makeBundle(staged, kBundleID);
    writeFile(staged + "/Contents/version", "new");
  }
  std::string prefs() const { return h + "/Library/Preferences/com.apple.HIToolbox.plist"; }

  TempDir home;
  const std::string h = home.str();
  const std::string installed = h + "/Library/Input Methods/Sonarell.app", contents = installed + "/Contents";
  const std::string staged = h + "/Staging/Sonarell.app";
};

TEST_F(KeyloomProcess, EveryRejectedArgumentFormExitsTwoWithItsLineChangingNothing) {
  const std::string usage =
      "Usage: Keyloom /path/to/Sonarell.app [--check | --repair-enabled-list /new/backup.plist]\n";
  const std::string foreign = "Unexpected input method bundle ID\n";
  const std::string app = installed, b = h + "/b.plist", odd = h + "/With space 中文\nline";
  const std::string x = "--exchange-contents", stagedContents = staged + "/Contents";
  makeBundle(h + "/Other.app", "com.example.Other");
  makeBundle(odd + "/Other.app", "com.example.Other");
  writeFile(h + "/Malformed.app/Contents/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>");
  writeFile(
      h + "/Case.app/Contents/Info.plist",
      xmlPlist(
          "<dict><key>CFBundleIdentifier</key><string>org.quennet.inputmethod.sonarell</string></dict>"));
  makeBundle(h + "/Foreign/Sonarell.app", "com.example.Other");
  std::filesystem::create_directories(h + "/NoBundle/Contents");
  makeBundle(h + "/Real/Sonarell.app", kBundleID);
  fsys::create_directory_symlink(h + "/Real", h + "/Linked");
  writeFile(prefs(), xmlPlist("<dict><key>AppleEnabledInputSources</key><array/></dict>"));
  TempDir fresh, outer;  // a home with nothing installed; one reached through a link
  const std::string linked = outer / "home";
  fsys::create_directory_symlink(h, linked);

  const struct {
    std::vector<std::string> args;
    std::string err, home = "";
  } rows[] = {
      {{}, usage},
      {{x, contents}, usage},
      {{x, "a", "b", "c"}, usage},
      {{app, "--repair-enabled-list"}, usage},
      {{app, "--check", "more"}, usage},
      {{app, "--CHECK"}, usage},
      {{app, "-check"}, usage},
      {{app, "--repair-enabled-list=" + b}, usage},
      {{app, "--Repair-Enabled-List", b}, usage},
      {{app, "--repair", b}, usage},
      {{app, b, "--repair-enabled-list"}, usage},
      {{"--check", app}, usage},
      {{""}, foreign},
      {{x}, foreign},
      {{"--check"}, foreign},
      {{h + "/Other.app"}, foreign},
      {{h + "/Other.app", "--repair-enabled-list", b}, foreign},
      {{odd + "/Other.app", "--check"}, foreign},
      {{h + "/Malformed.app"}, foreign},
      {{h + "/Case.app", "--repair-enabled-list", b}, foreign},
      {{h + "/Missing.app"}, foreign},
      {{h + "/Sonarell\xff\xfe.app"}, foreign},
      {{std::string(app).replace(app.size() - 4, 1, "\xc0")}, foreign},
      // The exchange refuses silently all but our installed and a staged Contents of ours.
      {{x, stagedContents, contents}, ""},
      {{x, contents, staged}, ""},
      {{x, installed, stagedContents}, ""},
      {{x, contents, h + "/Foreign/Sonarell.app/Contents"}, ""},
      {{x, contents, h + "/NoBundle/Contents"}, ""},
      {{x, contents, h + "/Linked/Sonarell.app/Contents"}, ""},
      {{x, contents, h + "/Missing/Sonarell.app/Contents"}, ""},
      {{x, contents + "\xff", stagedContents}, ""},
      {{x, contents, staged + "/Cont\xe9nts"}, ""},
      {{x, "", ""}, ""},
      // The installed folder as its own staged copy: nothing would move.
      {{x, contents, contents}, ""},
      {{x, contents, "~/Library/Input Methods/Sonarell.app/Contents/"}, ""},
      {{x, fresh / "Library/Input Methods/Sonarell.app/Contents", stagedContents}, "", fresh.str()},
      {{x, linked + "/Library/Input Methods/Sonarell.app/Contents", stagedContents}, "", linked},
  };
  const auto before = snapshot(h);
  for (const auto& row : rows) {
    EXPECT_EQ(runKeyloom(row.args, row.home.empty() ? h : row.home), (Outcome{2, "", row.err}))
        << ::testing::PrintToString(row.args);
  }
  EXPECT_EQ(snapshot(h), before);
}

// Each run swaps the two folders, so the installed version alternates.
TEST_F(KeyloomProcess, ExchangesWhateverTheSpellingOfTheInstalledPathOrTheHome) {
  const std::string base = fsys::path(h).filename();
  const struct {
    std::string installed, home;
  } rows[] = {
      {contents, h},
      {contents, h},
      {"~/Library/Input Methods/Sonarell.app/Contents", h},
      {h + "//Library//Input Methods/./Sonarell.app/Contents", h},
      {contents + "/", h},
      {h + "/Library/Logs/../Input Methods/Sonarell.app/Contents", h},
      {contents, "/" + h + "//"},
      {contents, h + "/./"},
      {contents, h + "/../" + base},
      {contents, h + "/Library/.."},
  };
  for (const auto& row : rows) {
    const std::string was = readFile(contents + "/version");
    EXPECT_EQ(runKeyloom({"--exchange-contents", row.installed, staged + "/Contents/"}, row.home),
              (Outcome{0, "atomic-contents-exchange=1\n", ""}))
        << row.installed << " in " << row.home;
    EXPECT_EQ(readFile(staged + "/Contents/version"), was);
    EXPECT_NE(readFile(contents + "/version"), was);
  }
}

TEST_F(KeyloomProcess, AnExchangeAcrossFileSystemsFailsWithTheSystemsReason) {
  if (!fsys::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  TempDir shm("keyloom", "/dev/shm");
  struct stat a {
  }, b{};
  ASSERT_EQ(::stat(h.c_str(), &a), 0);
  ASSERT_EQ(::stat(shm.str().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "the home and /dev/shm are on one file system";
  const std::string elsewhere = shm / "Sonarell.app";
  makeBundle(elsewhere, kBundleID);
  const auto homeBefore = snapshot(h), shmBefore = snapshot(shm.str());
  EXPECT_EQ(runKeyloom({"--exchange-contents", contents, elsewhere + "/Contents"}, h),
            (Outcome{1, "", "Atomic input-method upgrade: Invalid cross-device link\n"}));
  EXPECT_EQ(snapshot(h), homeBefore);
  EXPECT_EQ(snapshot(shm.str()), shmBefore);
}

// The check and repair forms against the real store and text-input stand-in,
// with the announcements seen on a private session bus.
TEST_F(KeyloomProcess, ChecksRepairsAndAnnouncesOnTheSessionBus) {
  sonarell::testing::SessionBus bus;
  ASSERT_TRUE(bus.running());
  std::vector<std::string> posted;
  auto listener =
      notifications::DBusNotificationListener::create([&](const std::string& n) { posted.push_back(n); });
  ASSERT_TRUE(listener);
  const std::string ours = listing(BundleID, "TISTypeKeyboardInputMethodModeEnabled", "Sonarell") +
                           listing(ModeID, "TISTypeKeyboardInputMode", "IPA");
  const auto xml = plist::toXml(
      Value(Dictionary{{std::string(kEnabledInputSourcesKey), Value(Array{layout(), otherMethod()})}}));
  ASSERT_TRUE(xml);
  writeFile(prefs(), *xml);
  EXPECT_EQ(runKeyloom({installed, "--check"}, h, bus.address()),
            (Outcome{1, "parent-before=0 mode-before=0\nready=0\n", ""}));

  // The enabling calls append our records, so the repair finds both and refreshes.
  const std::string backup = h + "/备份 with space\nline.plist";
  EXPECT_EQ(runKeyloom({installed, "--repair-enabled-list", backup}, h, bus.address()),
            (Outcome{0,
                     "launchservices-register=0\nregister=0\n" + ours +
                         "parent-before=0 mode-before=0\nenable-parent=0\nenable-mode=0\n"
                         "refresh-own-enabled-entries=1 foreign-preserved=2\n"
                         "enabled-list-preserved=4 appended=0 verified=1\n"
                         "parent-after=1 mode-after=1\nregistration-complete=1\n",
                     ""}));
  const Value expected(Array{layout(), otherMethod(), parentRecord(), modeRecord()});
  const auto top = plist::readFile(prefs());
  ASSERT_TRUE(top && top->asDictionary());
  EXPECT_EQ(*top->asDictionary()->find(std::string(kEnabledInputSourcesKey)), expected);
  EXPECT_EQ(plist::readFile(backup), expected);
  while (listener->waitFor(std::chrono::milliseconds(300))) {
  }
  const std::string notification(textinput::kTISNotifyEnabledKeyboardInputSourcesChanged);
  EXPECT_EQ(posted, (std::vector<std::string>{notification, notification}));

  EXPECT_EQ(runKeyloom({installed, "--check"}, h, bus.address()),
            (Outcome{0, ours + "parent-before=1 mode-before=1\nready=1\n", ""}));
}

}  // namespace
}  // namespace sonarell::keyloom
