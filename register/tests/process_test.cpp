// The built Keyloom.app, run as a child process in a home folder of its own, for
// what only the program shows: the exit status and lines of each argument form
// through main, the real exchange across folders, the real store and bus.

#include <sys/stat.h>

#include <chrono>

#include "platform/notifications/notification_listener_linux.h"
#include "platform/plist/codec.h"
#include "register/tests/support.h"
#include "tests/support/session_bus.h"
#include "tests/support/spawn.h"

namespace sonarell::keyloom {
namespace {

using namespace test;

const std::string kNoBus = "unix:path=/nonexistent/keyloom-test-bus";
const std::string kProgram = std::string(KEYLOOM_BUNDLE_DIR) + "/Contents/MacOS/Keyloom";

Outcome runKeyloom(const std::vector<std::string>& args, const std::string& home,
                   const std::string& bus = kNoBus) {
  TempDir capture;
  const std::string out = capture / "out", err = capture / "err";
  const std::vector<std::string> env{"HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=" + bus};
  const int status = testsupport::spawnAndWait({kProgram, args, env, out, err, ""});
  return {status, readFile(out), readFile(err)};
}

class KeyloomProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    makeBundle(installed, std::string(BundleID));
    writeFile(contents + "/version", "old");
    makeBundle(staged, std::string(BundleID));
    writeFile(staged + "/Contents/version", "new");
  }
  TempDir home;
  const std::string h = home.str(), installed = h + "/Library/Input Methods/Sonarell.app";
  const std::string contents = installed + "/Contents", staged = h + "/Staging/Sonarell.app";
};

// One of each refusal through main, changing nothing; their rules are in-process.
TEST_F(KeyloomProcess, RefusalsExitTwo) {
  const std::string odd = h + "/With space 中文\nline/Other.app";
  makeBundle(odd, "com.example.Other");
  const auto before = snapshot(h);
  const Outcome usage = runKeyloom({installed, "--check", "more"}, h);
  EXPECT_EQ(
      usage,
      (Outcome{
          2, "",
          "Usage: Keyloom /path/to/Sonarell.app [--check | --repair-enabled-list /new/backup.plist]\n"}));
  EXPECT_EQ(runKeyloom({odd, "--check"}, h), (Outcome{2, "", "Unexpected input method bundle ID\n"}));
  EXPECT_EQ(runKeyloom({"--exchange-contents", staged + "/Contents", contents}, h), (Outcome{2, "", ""}));
  EXPECT_EQ(snapshot(h), before);
}

// Each run swaps, whatever the spelling of the installed path or of the home.
TEST_F(KeyloomProcess, Exchanges) {
  const std::string base = std::filesystem::path(h).filename();
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
    EXPECT_NE(readFile(contents + "/version"), was);
  }
}

TEST_F(KeyloomProcess, AnExchangeAcrossFileSystemsFailsWithTheSystemsReason) {
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  TempDir shm("keyloom", "/dev/shm");
  struct stat a {
  }, b{};
  ASSERT_EQ(::stat(h.c_str(), &a) | ::stat(shm.str().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "the home and /dev/shm are on one file system";
  makeBundle(shm / "Sonarell.app", std::string(BundleID));
  const auto homeBefore = snapshot(h), shmBefore = snapshot(shm.str());
  EXPECT_EQ(runKeyloom({"--exchange-contents", contents, shm / "Sonarell.app/Contents"}, h),
            (Outcome{1, "", "Atomic input-method upgrade: Invalid cross-device link\n"}));
  EXPECT_EQ(snapshot(h), homeBefore);
  EXPECT_EQ(snapshot(shm.str()), shmBefore);
}

// Check and repair on the real store and text input, announcing on a private bus.
TEST_F(KeyloomProcess, ChecksRepairsAndAnnouncesOnTheSessionBus) {
  sonarell::testing::SessionBus bus;
  ASSERT_TRUE(bus.running());
  std::vector<std::string> posted;
  auto listener =
      notifications::DBusNotificationListener::create([&](const std::string& n) { posted.push_back(n); });
  ASSERT_TRUE(listener);
  const std::string prefs = h + "/Library/Preferences/com.apple.HIToolbox.plist";
  const std::string ours = listing(true) + listing(false, "IPA"), backup = h + "/备份 with space\nline.plist";
  const std::string key(kEnabledInputSourcesKey);
  writeFile(prefs, *plist::toXml(Value(Dictionary{{key, Value(Array{layout(), otherMethod()})}})));
  EXPECT_EQ(runKeyloom({installed, "--check"}, h, bus.address()),
            (Outcome{1, "parent-before=0 mode-before=0\nready=0\n", ""}));

  // The enabling calls append our records, so the repair finds both and refreshes.
  EXPECT_EQ(runKeyloom({installed, "--repair-enabled-list", backup}, h, bus.address()),
            (Outcome{0,
                     "launchservices-register=0\nregister=0\n" + ours +
                         "parent-before=0 mode-before=0\nenable-parent=0\nenable-mode=0\n"
                         "refresh-own-enabled-entries=1 foreign-preserved=2\n"
                         "enabled-list-preserved=4 appended=0 verified=1\n"
                         "parent-after=1 mode-after=1\nregistration-complete=1\n",
                     ""}));
  const Value expected(Array{layout(), otherMethod(), parentRecord(), modeRecord()});
  EXPECT_EQ(plist::readFile(prefs), Value(Dictionary{{key, expected}}));
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
