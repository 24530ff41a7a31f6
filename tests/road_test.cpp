// The whole road through the installer window (offscreen) on the assembled payload, in a throw-away home with
// a session bus of its own: one fresh install, its log and the settings hand-off. The script's own promises
// are install_script_test's, the window's states installer/tests', Keyloom's rules register/tests'.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <cstdio>

#include "installer/application/platform_services.h"
#include "installer/controller/installer_controller.h"
#include "platform/plist/codec.h"
#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using ::testing::HasSubstr;

const fsys::path kResources = buildDir() / "SonarellInstaller.app/Contents/Resources";
const QString kSuccess = QStringLiteral("安装完成。请从菜单栏输入法菜单选择国际音标输入法。");

TEST(RoadTest, FreshInstallItsLogAndTheSettingsHandOff) {
  const TempDir dir;
  const fsys::path home = dir / "home", imLog = home / "Library/Logs/Sonarell/InputMethod.log";
  const ScopedEnv homeVariable("HOME", home.c_str());
  const SessionBus bus;
  ASSERT_TRUE(bus.running()) << "no dbus-daemon";
  ASSERT_TRUE(fsys::exists(kResources / "Registration/Keyloom.app/Contents/MacOS/Keyloom"))
      << "not assembled";
  writeFile(hiToolboxPath(home), hiToolboxPlist(foreignEnabledSources()));
  std::vector<std::int32_t> outcomes;
  installer::InstallerController controller(installer::InstallerPayload(kResources.string()),
                                            installer::platformServices());
  controller.setCompletionObserver([&](std::int32_t code) { outcomes.push_back(code); });
  controller.window()->show();
  const auto control = [&](const char* name) { return controller.window()->findChild<QPushButton*>(name); };
  const auto status = [&] { return controller.window()->findChild<QLabel*>("status")->text(); };
  ASSERT_TRUE(control("action") && control("openSettings"));
  EXPECT_EQ(control("action")->text(), QStringLiteral("安装并启用"));

  const auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(control("action"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !outcomes.empty(); }, 90000)) << "no outcome";
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("[ road ] fresh install, press to outcome: %.0f ms\n", took.count());
  const std::string log = controller.detailedLog().toStdString();
  ASSERT_EQ(outcomes, std::vector<std::int32_t>{0}) << log;
  EXPECT_EQ(status(), kSuccess);
  EXPECT_TRUE(sameTree(home / "Library/Input Methods/Sonarell.app", kResources / "Payload/Sonarell.app"));
  // One log file, holding the script's lines and the tool's records.
  EXPECT_EQ(namesIn(home / "Library/Logs/Sonarell/Installer").size(), 1u);
  for (const char* line : {"Moving the new version into place", "enable-mode=0", "verified=1",
                           "registration-complete=1", "ready=1", "Sonarell is installed and enabled."})
    EXPECT_THAT(log, HasSubstr(line));
  // Every foreign entry in its place, both own records appended (by the enabling calls, before the repair's
  // backup of the list); no bundle to back up.
  plist::Array expected = foreignEnabledSources();
  expected.insert(expected.end(), {parentRecord(), modeRecord()});
  EXPECT_EQ(readList(hiToolboxPath(home)), expected);
  const fsys::path backups = home / "Library/Application Support/Sonarell/Backups";
  const auto names = namesIn(backups);  // no bundle to back up: the list's backup alone
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names[0].starts_with("AppleEnabledInputSources-") && names[0].ends_with(".plist")) << names[0];
  EXPECT_EQ(readList(backups / names[0]), expected);

  // The first press starts the input method with "--settings"; the notification that follows it may come
  // before the program listens, so a second press, reaching the running instance, shows that the notification
  // arrives.
  const auto imLogHas = [&](const char* text) {
    return fsys::exists(imLog) && readFile(imLog).find(text) != std::string::npos;
  };
  QTest::mouseClick(control("openSettings"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return imLogHas("received --settings"); }, 15000));
  QTest::mouseClick(control("openSettings"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return imLogHas("received notification org.quennet.sonarell.show-settings"); }, 15000));
  EXPECT_TRUE(controller.window()->isVisible());  // the hand-off changes nothing in the window
  EXPECT_EQ(status(), kSuccess);
  waitForInputMethodToEnd(home);  // the sample input method lingers; its home must outlive it
}

}  // namespace
}  // namespace sonarell::road

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
