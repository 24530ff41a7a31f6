// The whole road through the installer window (offscreen) on the assembled payload,
// in a throw-away home with a session bus of its own. The script's own promises are
// install_script_test's; an incomplete payload and log names the installer's run_test's.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <regex>

#include "installer/application/platform_services.h"
#include "installer/controller/installer_controller.h"
#include "platform/plist/codec.h"
#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using ::testing::HasSubstr;

const fsys::path kResources = buildDir() / "SonarellInstaller.app/Contents/Resources";
const QString kSuccess = QStringLiteral("安装完成。请从菜单栏输入法菜单选择国际音标输入法。");

std::vector<fsys::path> filesIn(const fsys::path& folder, const std::string& pattern) {
  std::vector<fsys::path> found;
  for (const auto& name : namesIn(folder)) {
    if (std::regex_match(name, std::regex(pattern))) found.push_back(folder / name);
  }
  return found;
}

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "no dbus-daemon";
    ASSERT_TRUE(fsys::exists(kResources / "Registration/Keyloom.app/Contents/MacOS/Keyloom"))
        << "not assembled";
    writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
  }
  // The sample input method may linger after a hand-off; its home must outlive it.
  void TearDown() override { waitForInputMethodToEnd(home()); }

  fsys::path home() const { return dir / "home"; }
  fsys::path target() const { return home() / "Library/Input Methods/Sonarell.app"; }
  fsys::path logFolder() const { return home() / "Library/Logs/Sonarell/Installer"; }
  fsys::path backups() const { return home() / "Library/Application Support/Sonarell/Backups"; }

  void openWindow(const fsys::path& resources) {
    controller = std::make_unique<installer::InstallerController>(
        installer::InstallerPayload(resources.string()), installer::platformServices());
    controller->setCompletionObserver([this](std::int32_t code) { outcomes.push_back(code); });
    controller->window()->show();
  }
  template <typename T = QPushButton>
  T* control(const char* name) const {
    T* found = controller->window()->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  std::string log() const { return controller->detailedLog().toStdString(); }

  // Presses the main button, waits for the outcome and prints how long it took.
  void pressAndWait(const char* what) {
    const std::size_t before = outcomes.size();
    const auto start = std::chrono::steady_clock::now();
    QTest::mouseClick(control("action"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return outcomes.size() > before; }, 90000)) << "no outcome";
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("[ road ] %s, press to outcome: %.0f ms\n", what, took.count());
  }

  // The window's success state (the script ends well only when Keyloom's check says ready).
  void expectInstalled() const {
    EXPECT_EQ(control<QLabel>("status")->text(), kSuccess);
    EXPECT_TRUE(control("action")->isHidden());
    EXPECT_FALSE(control("openSettings")->isHidden() || controller->busy());
    EXPECT_THAT(log(), HasSubstr("ready=1"));
  }

  TempDir dir;
  ScopedEnv homeVariable{"HOME", (dir / "home").c_str()};
  SessionBus bus;
  std::unique_ptr<installer::InstallerController> controller;
  std::vector<std::int32_t> outcomes;
};

TEST_F(RoadTest, FreshInstallThenTheSettingsHandOff) {
  openWindow(kResources);
  EXPECT_EQ(control("action")->text(), QStringLiteral("安装并启用"));
  pressAndWait("fresh install");
  ASSERT_EQ(outcomes, std::vector<std::int32_t>{0}) << log();
  expectInstalled();
  EXPECT_TRUE(sameTree(target(), kResources / "Payload/Sonarell.app"));
  // One log file, holding the script's lines and the tool's records.
  EXPECT_EQ(filesIn(logFolder(), ".*").size(), 1u);
  for (const char* line : {"Moving the new version into place", "enable-mode=0", "verified=1",
                           "registration-complete=1", "Sonarell is installed and enabled."})
    EXPECT_THAT(log(), HasSubstr(line));
  // Every foreign entry in its place, both own records appended; the list's
  // backup holds it as the repair found it; no bundle to back up.
  plist::Array expected = foreignEnabledSources();
  expected.insert(expected.end(), {parentRecord(), modeRecord()});
  EXPECT_EQ(readList(hiToolboxPath(home())), expected);
  const auto listBackups = filesIn(backups(), "AppleEnabledInputSources-.*\\.plist");
  ASSERT_EQ(listBackups.size(), 1u);
  expectListThenOwnRecords(readList(listBackups[0]), foreignEnabledSources());
  EXPECT_EQ(namesIn(backups()).size(), 1u);

  // The first press starts the input method with "--settings"; the notification
  // that follows it may come before the program listens, so a second press,
  // reaching the running instance, shows that the notification arrives.
  const fsys::path imLog = home() / "Library/Logs/Sonarell/InputMethod.log";
  const auto imLogHas = [&](const char* text) {
    return fsys::exists(imLog) && readFile(imLog).find(text) != std::string::npos;
  };
  QTest::mouseClick(control("openSettings"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return imLogHas("received --settings"); }, 15000));
  QTest::mouseClick(control("openSettings"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return imLogHas("received notification org.quennet.sonarell.show-settings"); }, 15000));
  EXPECT_TRUE(controller->window()->isVisible());  // the hand-off changes nothing in the window
  EXPECT_EQ(control<QLabel>("status")->text(), kSuccess);
}

TEST_F(RoadTest, UpgradeFailsOnAnOddListWithNothingLostAndARetrySucceeds) {
  // What an earlier install left: an older version, both own records enabled, its
  // log; and now an element in the list that is no record at all.
  copyTree(kResources / "Payload/Sonarell.app", target());
  setBundleVersion(target(), "0.9.0");
  plist::Array list = foreignEnabledSources();
  list.insert(list.end(), {parentRecord(), modeRecord()});
  plist::Array odd = list;
  odd.insert(odd.begin() + 1, plist::Value("not a record"));
  writeFile(hiToolboxPath(home()), hiToolboxPlist(odd));
  writeFile(logFolder() / "earlier.log", "an earlier run\n");
  const fsys::path newer = dir / "newer";
  copyTree(kResources, newer);
  setBundleVersion(newer / "Payload/Sonarell.app", "7.3.1");

  openWindow(newer);
  EXPECT_EQ(control("action")->text(), QStringLiteral("升级并启用"));
  pressAndWait("failing upgrade");
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_NE(outcomes[0], 0);
  EXPECT_EQ(control<QLabel>("status")->text(), QStringLiteral("安装未完成，请查看下方记录。"));
  EXPECT_EQ(control("action")->text(), QStringLiteral("重试安装"));
  EXPECT_TRUE(control("action")->isEnabled() && !control("action")->isHidden() && !controller->busy());
  EXPECT_THAT(log(), HasSubstr("Unexpected enabled source list; no preferences changed"));
  expectListThenOwnRecords(readList(hiToolboxPath(home())), odd);  // the odd element too, in its place
  EXPECT_TRUE(filesIn(backups(), "AppleEnabledInputSources-.*").empty());
  const std::string failedLog = log();

  // The user fixes the list; "重试安装" runs again with a new log file.
  writeFile(hiToolboxPath(home()), hiToolboxPlist(list));
  pressAndWait("upgrade");
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[1], 0) << log();
  expectInstalled();
  EXPECT_TRUE(sameTree(target(), newer / "Payload/Sonarell.app"));
  EXPECT_EQ(filesIn(backups(), "Sonarell-0\\.9\\.0-[0-9-]+\\.app").size(), 1u);
  // The refresh path: both own records were there, so the list comes back as it was.
  EXPECT_THAT(log(), HasSubstr("refresh-own-enabled-entries=1 foreign-preserved=3"));
  EXPECT_THAT(log(), HasSubstr("atomic-contents-exchange=1"));
  EXPECT_EQ(readList(hiToolboxPath(home())), list);
  // Each run wrote a log of its own and left the others alone.
  const auto logs = filesIn(logFolder(), ".*\\.log");
  EXPECT_EQ(logs.size(), 3u);
  EXPECT_EQ(readFile(logFolder() / "earlier.log"), "an earlier run\n");
  EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [&](const auto& f) { return readFile(f) == failedLog; }));
}

}  // namespace
}  // namespace sonarell::road

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
