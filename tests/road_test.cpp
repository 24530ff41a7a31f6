// The whole road through the installer window: the assembled payload of the
// built SonarellInstaller.app, Qt's offscreen platform, a throw-away home and a
// session bus of the test's own. Each test presses the window's buttons and
// looks at what a user would find afterwards.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "installer/application/platform_services.h"
#include "installer/controller/installer_controller.h"
#include "installer/payload/installer_payload.h"
#include "platform/plist/codec.h"
#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using installer::InstallerController;
using installer::InstallerPayload;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kRunTimeout = std::chrono::seconds(90);

const plist::Value kParentEntry = plist::Dictionary{{"InputSourceKind", "Keyboard Input Method"},
                                                    {"Bundle ID", "org.quennet.inputmethod.Sonarell"}};
const plist::Value kModeEntry = plist::Dictionary{{"InputSourceKind", "Input Mode"},
                                                  {"Bundle ID", "org.quennet.inputmethod.Sonarell"},
                                                  {"Input Mode", "org.quennet.inputmethod.Sonarell.Hans"}};

fsys::path assembledResources() { return buildDir() / "SonarellInstaller.app/Contents/Resources"; }

std::vector<fsys::path> filesIn(const fsys::path& folder, const std::string& pattern) {
  std::vector<fsys::path> found;
  if (!fsys::exists(folder)) return found;
  const std::regex re(pattern);
  for (const auto& entry : fsys::directory_iterator(folder)) {
    if (std::regex_match(entry.path().filename().string(), re)) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::optional<plist::Array> enabledList(const fsys::path& home) {
  const auto root = plist::readFile(hiToolboxPath(home).string());
  if (!root || !root->asDictionary()) return std::nullopt;
  const plist::Value* list = root->asDictionary()->find("AppleEnabledInputSources");
  if (!list || !list->asArray()) return std::nullopt;
  return *list->asArray();
}

// `list` starts with every element of `before`, in place, and goes on with
// nothing but our own records (which the enabling calls may have added).
void expectEarlierListThenOwnRecords(const plist::Array& list, const plist::Array& before) {
  ASSERT_GE(list.size(), before.size());
  EXPECT_TRUE(plist::Array(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(before.size())) ==
              before);
  for (std::size_t i = before.size(); i < list.size(); ++i) {
    EXPECT_TRUE(list[i] == kParentEntry || list[i] == kModeEntry) << "element " << i;
  }
}

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus.address().empty()) << "no dbus-daemon";
    fsys::create_directories(home());
    for (const char* item : {"Payload/Sonarell.app/Contents/Info.plist",
                             "Registration/Keyloom.app/Contents/MacOS/Keyloom", "Scripts/install-macos.sh"}) {
      ASSERT_TRUE(fsys::exists(assembledResources() / item)) << "not assembled: " << item;
    }
    writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
  }

  // The sample input method may still linger after a hand-off; let it end
  // before its home goes away.
  void TearDown() override { waitForInputMethodToEnd(home()); }

  fsys::path home() const { return dir.path() / "home"; }
  fsys::path target() const { return home() / "Library/Input Methods/Sonarell.app"; }
  fsys::path logFolder() const { return home() / "Library/Logs/Sonarell/Installer"; }
  fsys::path backups() const { return home() / "Library/Application Support/Sonarell/Backups"; }

  // A copy of the assembled payload that a test may change.
  fsys::path copyOfPayload(const std::string& name) const {
    const fsys::path root = dir.path() / name;
    copyTree(assembledResources(), root);
    return root;
  }

  std::unique_ptr<InstallerController> openWindow(const fsys::path& root) {
    auto controller =
        std::make_unique<InstallerController>(InstallerPayload(root.string()), installer::platformServices());
    controller->setCompletionObserver([this](std::int32_t code) { outcomes.push_back(code); });
    controller->window()->show();
    return controller;
  }

  template <typename T>
  static T* control(InstallerController& controller, const char* name) {
    T* found = controller.window()->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  // Presses the main button and waits for the outcome; the time from the press
  // to the outcome, in milliseconds.
  double pressAndWait(InstallerController& controller) {
    const std::size_t before = outcomes.size();
    const auto start = std::chrono::steady_clock::now();
    QTest::mouseClick(control<QPushButton>(controller, "action"), Qt::LeftButton);
    const bool ended = QTest::qWaitFor([&] { return outcomes.size() > before; },
                                       static_cast<int>(std::chrono::milliseconds(kRunTimeout).count()));
    EXPECT_TRUE(ended) << "no outcome";
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }

  RunResult keyloomCheck() const {
    return run({(assembledResources() / "Registration/Keyloom.app/Contents/MacOS/Keyloom").string(),
                target().string(), "--check"},
               {"HOME=" + home().string(), "PATH=/usr/bin:/bin"}, home());
  }

  void expectSuccessState(InstallerController& controller) {
    EXPECT_EQ(control<QLabel>(controller, "status")->text(),
              QStringLiteral("安装完成。请从菜单栏输入法菜单选择国际音标输入法。"));
    EXPECT_TRUE(control<QPushButton>(controller, "action")->isHidden());
    EXPECT_FALSE(control<QPushButton>(controller, "openSettings")->isHidden());
    EXPECT_FALSE(controller.busy());
  }

  void expectFailureState(InstallerController& controller) {
    EXPECT_EQ(control<QLabel>(controller, "status")->text(), QStringLiteral("安装未完成，请查看下方记录。"));
    QPushButton* action = control<QPushButton>(controller, "action");
    EXPECT_EQ(action->text(), QStringLiteral("重试安装"));
    EXPECT_TRUE(action->isEnabled());
    EXPECT_FALSE(action->isHidden());
    EXPECT_FALSE(controller.busy());
  }

  TempDir dir;
  ScopedEnv homeVariable{"HOME", (dir.path() / "home").c_str()};
  SessionBus bus;
  std::vector<std::int32_t> outcomes;
};

TEST_F(RoadTest, FreshInstallThroughTheWindow) {
  const auto listBefore = enabledList(home());
  ASSERT_TRUE(listBefore);
  auto controller = openWindow(assembledResources());
  EXPECT_EQ(control<QPushButton>(*controller, "action")->text(), QStringLiteral("安装并启用"));

  const double ms = pressAndWait(*controller);
  ASSERT_EQ(outcomes, std::vector<std::int32_t>{0}) << controller->detailedLog().toStdString();
  std::printf("[ road ] fresh install, press to success state: %.0f ms\n", ms);
  RecordProperty("fresh_install_ms", static_cast<int>(ms));
  expectSuccessState(*controller);

  // The installed bundle is the payload's, version included.
  const fsys::path payloadApp = assembledResources() / "Payload/Sonarell.app";
  EXPECT_TRUE(sameTree(target(), payloadApp));
  EXPECT_EQ(bundleVersion(target()), bundleVersion(payloadApp));
  EXPECT_FALSE(bundleVersion(target()).empty());

  // One new log file, named by an upper-case UUID, holding the script's lines and
  // the tool's records, and shown as the detailed log.
  const auto logs = filesIn(logFolder(), ".*");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(
      std::regex_match(logs[0].filename().string(),
                       std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.log")));
  const std::string log = readFile(logs[0]);
  EXPECT_EQ(controller->detailedLog().toStdString(), log);
  for (const char* expected :
       {"Moving the new version into place", "launchservices-register=0", "register=0", "enable-parent=0",
        "enable-mode=0", "verified=1", "parent-after=1 mode-after=1", "registration-complete=1", "ready=1",
        "Sonarell is installed and enabled."}) {
    EXPECT_THAT(log, HasSubstr(expected));
  }

  // Every foreign entry in its place and content, both own records appended.
  const auto listAfter = enabledList(home());
  ASSERT_TRUE(listAfter);
  plist::Array expected = *listBefore;
  expected.push_back(kParentEntry);
  expected.push_back(kModeEntry);
  EXPECT_TRUE(*listAfter == expected);

  // The enabled-list backup holds the list as the repair found it.
  const auto listBackups = filesIn(backups(), "AppleEnabledInputSources-.*\\.plist");
  ASSERT_EQ(listBackups.size(), 1u);
  const auto saved = plist::readFile(listBackups[0].string());
  ASSERT_TRUE(saved && saved->asArray());
  expectEarlierListThenOwnRecords(*saved->asArray(), *listBefore);
  EXPECT_TRUE(filesIn(backups(), "Sonarell-.*").empty()) << "a fresh install has nothing to back up";

  const RunResult check = keyloomCheck();
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_THAT(check.output, HasSubstr("ready=1"));
}

TEST_F(RoadTest, UpgradeWithANewerPayload) {
  auto first = openWindow(assembledResources());
  pressAndWait(*first);
  ASSERT_EQ(outcomes, std::vector<std::int32_t>{0}) << first->detailedLog().toStdString();
  first.reset();
  const auto listInstalled = enabledList(home());
  ASSERT_TRUE(listInstalled);
  const auto earlierLogs = filesIn(logFolder(), ".*\\.log");
  ASSERT_EQ(earlierLogs.size(), 1u);
  const std::string earlierLog = readFile(earlierLogs[0]);
  const fsys::path oldCopy = dir.path() / "old/Sonarell.app";
  copyTree(target(), oldCopy);

  const fsys::path newer = copyOfPayload("newer");
  setBundleVersion(newer / "Payload/Sonarell.app", "7.3.1");
  auto controller = openWindow(newer);
  EXPECT_EQ(control<QPushButton>(*controller, "action")->text(), QStringLiteral("升级并启用"));
  const double ms = pressAndWait(*controller);
  ASSERT_EQ(outcomes, (std::vector<std::int32_t>{0, 0})) << controller->detailedLog().toStdString();
  std::printf("[ road ] upgrade, press to success state: %.0f ms\n", ms);
  RecordProperty("upgrade_ms", static_cast<int>(ms));
  expectSuccessState(*controller);

  EXPECT_EQ(bundleVersion(target()), "7.3.1");
  EXPECT_TRUE(sameTree(target(), newer / "Payload/Sonarell.app"));
  const auto bundleBackups = filesIn(backups(), "Sonarell-" + bundleVersion(oldCopy) + "-[0-9-]+\\.app");
  ASSERT_EQ(bundleBackups.size(), 1u);
  EXPECT_TRUE(sameTree(bundleBackups[0], oldCopy));

  // The refresh path: both own records were there, so the list comes back as it was.
  EXPECT_THAT(controller->detailedLog().toStdString(),
              HasSubstr("refresh-own-enabled-entries=1 foreign-preserved=3"));
  EXPECT_THAT(controller->detailedLog().toStdString(), HasSubstr("atomic-contents-exchange=1"));
  const auto listAfter = enabledList(home());
  ASSERT_TRUE(listAfter);
  EXPECT_TRUE(*listAfter == *listInstalled);

  ASSERT_EQ(filesIn(logFolder(), ".*\\.log").size(), 2u);
  EXPECT_EQ(readFile(earlierLogs[0]), earlierLog);
  EXPECT_EQ(keyloomCheck().status, 0);
}

TEST_F(RoadTest, OddEnabledListFailsWithNothingLostAndARetrySucceeds) {
  std::vector<std::string> sources = foreignEnabledSources();
  sources.insert(sources.begin() + 1, "<string>not a record</string>");
  writeFile(hiToolboxPath(home()), hiToolboxPlist(sources));
  const auto listBefore = enabledList(home());
  ASSERT_TRUE(listBefore);
  ASSERT_EQ(listBefore->size(), 4u);

  auto controller = openWindow(assembledResources());
  pressAndWait(*controller);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_NE(outcomes[0], 0);
  expectFailureState(*controller);
  EXPECT_THAT(controller->detailedLog().toStdString(),
              HasSubstr("Unexpected enabled source list; no preferences changed"));
  // Every element, the odd one included, is still there in its place.
  const auto listAfter = enabledList(home());
  ASSERT_TRUE(listAfter);
  expectEarlierListThenOwnRecords(*listAfter, *listBefore);
  EXPECT_TRUE(filesIn(backups(), "AppleEnabledInputSources-.*").empty());
  const auto firstLogs = filesIn(logFolder(), ".*\\.log");
  ASSERT_EQ(firstLogs.size(), 1u);
  const std::string firstLog = readFile(firstLogs[0]);

  // The user fixes the list; "重试安装" runs again with a new log file.
  writeFile(hiToolboxPath(home()), hiToolboxPlist(foreignEnabledSources()));
  pressAndWait(*controller);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[1], 0) << controller->detailedLog().toStdString();
  expectSuccessState(*controller);
  const auto logs = filesIn(logFolder(), ".*\\.log");
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(readFile(firstLogs[0]), firstLog);
  EXPECT_EQ(keyloomCheck().status, 0);
}

TEST_F(RoadTest, ForeignBundleAtTheTargetIsLeftAlone) {
  makeBundle(target(), "com.example.NotOurs", "2.0");
  writeFile(target() / "Contents/Resources/their-data", "theirs\n");
  const fsys::path before = dir.path() / "before/Sonarell.app";
  copyTree(target(), before);
  const std::string preferencesBefore = readFile(hiToolboxPath(home()));

  auto controller = openWindow(assembledResources());
  EXPECT_EQ(control<QPushButton>(*controller, "action")->text(), QStringLiteral("升级并启用"));
  pressAndWait(*controller);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_NE(outcomes[0], 0);
  expectFailureState(*controller);
  EXPECT_THAT(controller->detailedLog().toStdString(), HasSubstr("left untouched"));
  EXPECT_TRUE(sameTree(target(), before));
  EXPECT_EQ(readFile(hiToolboxPath(home())), preferencesBefore);
  EXPECT_FALSE(fsys::exists(backups()));
  for (const auto& entry : fsys::directory_iterator(target().parent_path())) {
    EXPECT_EQ(entry.path().filename(), "Sonarell.app") << "left behind: " << entry.path();
  }
}

TEST_F(RoadTest, IncompletePayloadFailsAtOnce) {
  const fsys::path root = copyOfPayload("incomplete");
  fsys::remove(root / "Registration/Keyloom.app/Contents/MacOS/Keyloom");
  const std::string preferencesBefore = readFile(hiToolboxPath(home()));

  auto controller = openWindow(root);
  pressAndWait(*controller);
  ASSERT_EQ(outcomes, std::vector<std::int32_t>{1});
  expectFailureState(*controller);
  EXPECT_EQ(controller->detailedLog(), QStringLiteral("安装内容不完整，请重新下载并完整解压安装包。"));
  EXPECT_FALSE(fsys::exists(home() / "Library/Logs"));
  EXPECT_FALSE(fsys::exists(target()));
  EXPECT_EQ(readFile(hiToolboxPath(home())), preferencesBefore);
}

TEST_F(RoadTest, SettingsHandOffReachesTheInputMethod) {
  auto controller = openWindow(assembledResources());
  pressAndWait(*controller);
  ASSERT_EQ(outcomes, std::vector<std::int32_t>{0}) << controller->detailedLog().toStdString();
  QPushButton* openSettings = control<QPushButton>(*controller, "openSettings");
  const fsys::path imLog = home() / "Library/Logs/Sonarell/InputMethod.log";
  const auto logHas = [&](const std::string& text) {
    return fsys::exists(imLog) && readFile(imLog).find(text) != std::string::npos;
  };

  // The first press starts the input method with "--settings"; the notification
  // that follows it may come before the program listens, so a second press,
  // reaching the running instance, shows that the notification arrives.
  QTest::mouseClick(openSettings, Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return logHas("received --settings"); }, 15000));
  QTest::mouseClick(openSettings, Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return logHas("received notification org.quennet.sonarell.show-settings"); }, 15000))
      << (fsys::exists(imLog) ? readFile(imLog) : "no log");
  // The hand-off changes nothing in the window.
  EXPECT_FALSE(openSettings->isHidden());
  EXPECT_TRUE(controller->window()->isVisible());
  EXPECT_EQ(control<QLabel>(*controller, "status")->text(),
            QStringLiteral("安装完成。请从菜单栏输入法菜单选择国际音标输入法。"));
}

}  // namespace
}  // namespace sonarell::road

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
