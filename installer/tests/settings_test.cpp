// The settings hand-off: open the installed input method with "--settings", then
// one notification on the session bus; or the failure in the status line.

#include <QLabel>

#include "installer/tests/support.h"
#include "platform/notifications/notification_listener_linux.h"

namespace sonarell::installer::testing {
namespace {

class SettingsHandOff : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    ASSERT_TRUE(bus_.running()) << "dbus-daemon could not be started";
    listener_ =
        notifications::DBusNotificationListener::create([this](const std::string& n) { seen_.push_back(n); });
    ASSERT_NE(listener_, nullptr);
  }

  // The installed input method: records its arguments, one per line.
  void install(bool withExecutable) {
    const auto app = home_ / "Library/Input Methods/Sonarell.app";
    writeFile(app / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleExecutable</key><string>Sonarell</string></dict></plist>\n");
    if (withExecutable) {
      writeFile(app / "Contents/MacOS/Sonarell",
                "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$HOME/settings-args\"\n");
      stdfs::permissions(app / "Contents/MacOS/Sonarell", stdfs::perms::owner_all);
    }
  }

  // Delivers whatever arrives for a while, so that a second notification would be seen.
  void collect(std::chrono::milliseconds period) {
    const auto end = std::chrono::steady_clock::now() + period;
    while (std::chrono::steady_clock::now() < end) {
      listener_->waitFor(std::chrono::milliseconds(20));
      QCoreApplication::processEvents();
    }
  }

  sonarell::testing::SessionBus bus_;
  std::unique_ptr<notifications::DBusNotificationListener> listener_;
  std::vector<std::string> seen_;
};

TEST_F(SettingsHandOff, SuccessfulOpenPostsExactlyOneNotificationAfterTheStart) {
  makePayload("exit 0\n");
  install(true);
  auto& c = makeController();
  ASSERT_EQ(runToOutcome(), 0);
  const QString status = text("status");
  click("openSettings");
  collect(std::chrono::milliseconds(1500));
  EXPECT_EQ(seen_, std::vector<std::string>{"org.quennet.sonarell.show-settings"});
  EXPECT_EQ(readFile(home_ / "settings-args"), "--settings\n");
  EXPECT_EQ(text("status"), status);
  EXPECT_FALSE(find("openSettings")->isHidden());
  EXPECT_TRUE(find("openSettings")->isEnabled());

  // Each press repeats the whole hand-off.
  click("openSettings");
  click("openSettings");
  collect(std::chrono::milliseconds(1500));
  EXPECT_EQ(seen_.size(), 3u);
  EXPECT_EQ(readFile(home_ / "settings-args"), "--settings\n--settings\n--settings\n");
  EXPECT_FALSE(c.busy());
}

TEST_F(SettingsHandOff, FailedOpenChangesOnlyTheStatusAndPostsNothing) {
  makePayload("exit 0\n");
  auto& c = makeController();
  ASSERT_EQ(runToOutcome(), 0);
  // Nothing at the installed location.
  click("openSettings");
  ASSERT_TRUE(waitUntil([&] { return text("status").startsWith(u("输入法已安装，设置窗口未能打开：")); }));
  EXPECT_EQ(text("status"), u("输入法已安装，设置窗口未能打开：找不到应用程序“Sonarell.app”。"));
  // A bundle without its executable.
  install(false);
  click("openSettings");
  ASSERT_TRUE(waitUntil([&] { return text("status").contains(u("缺少可执行文件")); }));
  EXPECT_EQ(text("status"),
            u("输入法已安装，设置窗口未能打开：应用程序“Sonarell.app”缺少可执行文件：文件或文件夹不存在。"));
  collect(std::chrono::milliseconds(800));
  EXPECT_TRUE(seen_.empty());
  EXPECT_FALSE(find("openSettings")->isHidden());
  EXPECT_TRUE(find("closeButton")->isEnabled());
  EXPECT_FALSE(c.busy());
}

}  // namespace
}  // namespace sonarell::installer::testing
