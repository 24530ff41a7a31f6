// Launch, closing and quitting: nothing closes or quits while a run is under way.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <QTest>
#include <csignal>
#include <thread>

#include "installer/application/installer_application.h"
#include "installer/tests/support.h"

namespace sonarell::installer::testing {
namespace {

// Counts the quit requests that get past the delegate. Installed before the
// delegate's filter, so it runs after it and sees only what was granted.
class QuitObserver : public QObject {
 public:
  QuitObserver() { QCoreApplication::instance()->installEventFilter(this); }
  ~QuitObserver() override { QCoreApplication::instance()->removeEventFilter(this); }
  int granted = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
      ++granted;
      return true;  // the test's own event loop must keep running
    }
    return false;
  }
};

TEST(ResourceFolder, BundleResourcesOrTheExecutablesOwnFolder) {
  EXPECT_EQ(resourceFolderFor("/a/SonarellInstaller.app/Contents/MacOS/SonarellInstaller"),
            "/a/SonarellInstaller.app/Contents/Resources");
  EXPECT_EQ(resourceFolderFor("/a b/安装.app/Contents/MacOS/x"), "/a b/安装.app/Contents/Resources");
  EXPECT_EQ(resourceFolderFor("/opt/tools/SonarellInstaller"), "/opt/tools");
  EXPECT_EQ(resourceFolderFor("/SonarellInstaller"), "/");
  EXPECT_EQ(resourceFolderFor("/x/.app/Contents/MacOS/y"), "/x/.app/Contents/MacOS");  // no bundle name
  EXPECT_EQ(resourceFolderFor("relative"), std::nullopt);
  EXPECT_EQ(resourceFolderFor(""), std::nullopt);
}

using Lifecycle = InstallerTest;

TEST_F(Lifecycle, QuitBeforeLaunchAndWithoutResourcesIsGranted) {
  QuitObserver observer;
  InstallerApplication delegate;
  EXPECT_TRUE(delegate.applicationShouldTerminate());
  EXPECT_TRUE(InstallerApplication::applicationShouldTerminateAfterLastWindowClosed());
  EXPECT_TRUE(QGuiApplication::quitOnLastWindowClosed());
  delegate.applicationDidFinishLaunching(std::nullopt);
  QCoreApplication::processEvents();
  EXPECT_EQ(observer.granted, 1);
  EXPECT_EQ(delegate.controller(), nullptr);
}

TEST_F(Lifecycle, CloseAndQuitAreRefusedWhileBusyAndGrantedWhenIdle) {
  makePayload("while [ ! -e \"$HOME/go\" ]; do sleep 0.02; done\n");
  QuitObserver observer;
  InstallerApplication delegate;
  ASSERT_TRUE(delegate.signalsActive());
  delegate.applicationDidFinishLaunching(root_.string());
  InstallerController* c = delegate.controller();
  ASSERT_NE(c, nullptr);
  QWidget* window = c->window();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  // Centred on the screen.
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(std::abs(window->frameGeometry().center().x() - screen.center().x()), 2);

  c->setCompletionObserver([this](std::int32_t code) { codes_.push_back(code); });
  window->findChild<QPushButton*>("action")->click();
  ASSERT_TRUE(c->busy());
  EXPECT_FALSE(delegate.applicationShouldTerminate());

  // Every way of asking is refused while busy.
  EXPECT_FALSE(window->close());
  auto* closeButton = window->findChild<QPushButton*>("closeButton");
  closeButton->setEnabled(true);  // even when enabled by other means
  closeButton->click();
  QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::raise(signal);
  waitUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(observer.granted, 0);
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(c->busy());

  writeFile(home_ / "go", "");
  ASSERT_TRUE(waitUntil([&] { return !codes_.empty(); }));
  EXPECT_TRUE(delegate.applicationShouldTerminate());
  ::raise(SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return observer.granted == 1; }));
  EXPECT_TRUE(window->isVisible());  // the observer swallowed the granted quit before it closed anything
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());
  // The controller and its window outlive the closing.
  EXPECT_EQ(delegate.controller(), c);
  EXPECT_EQ(c->window(), window);
}

TEST_F(Lifecycle, CloseButtonClosesTheWindowWhenIdleAndAnIncompletePayloadStillOpens) {
  InstallerApplication delegate;  // nothing in the payload
  delegate.applicationDidFinishLaunching(root_.string());
  QWidget* window = delegate.controller()->window();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  window->findChild<QPushButton*>("closeButton")->click();
  EXPECT_FALSE(window->isVisible());
}

// The real program: it shows its window and runs until asked to quit; SIGTERM
// while idle ends it with status 0, like a granted quit from anywhere else.
TEST_F(Lifecycle, TheProgramQuitsOnSigtermWhenIdle) {
  std::string exe = SONARELL_INSTALLER_EXECUTABLE;
  std::vector<std::string> env = {"HOME=" + home_.string(), "QT_QPA_PLATFORM=offscreen",
                                  "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {exe.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Still running after a moment: it waits for the user.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0);
  ::kill(pid, SIGTERM);
  pid_t ended = 0;
  for (int i = 0; i < 500 && ended == 0; ++i) {
    ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (ended == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "the installer did not quit on SIGTERM";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(stdfs::exists(home_ / "Library"));  // nothing was run
}

}  // namespace
}  // namespace sonarell::installer::testing
