// Install runs against scripts written into the test's own payload, the settings hand-off
// against substitutes, and closing and quitting, in-process and as the real program.

#include <QEvent>
#include <csignal>
#include <fstream>
#include <thread>

#include "installer/application/installer_application.h"
#include "installer/tests/support.h"
#include "platform/process/child_process.h"

namespace sonarell::installer::test {
namespace {

using InstallRun = InstallerTest;

// The script receives its arguments ("--update" evaluated at the press), a clean PATH, the
// payload's locations, the rest of the environment unchanged and the home as working directory.
TEST_F(InstallRun, EachEndingShowsItsStateAndTheLogAsRead) {
  ScopedEnv path("PATH", "/opt/elsewhere:/usr/bin:/bin"), mac("IPA_MAC_APP", "/inherited/should/be/replaced"),
      passed("SONARELL_TEST_PASSED", "值 with spaces");
  stdfs::create_directories(home_);
  const std::string recorder =
      R"sh(printf 'arg:%s\n' "$0" "$@"; printf '%s\n' "PATH=$PATH" "IPA_MAC_APP=$IPA_MAC_APP" )sh"
      R"sh("IPA_REGISTRATION_APP=$IPA_REGISTRATION_APP" "PASSED=$SONARELL_TEST_PASSED" "PWD=$(pwd -P)")sh";
  const std::string args =
      "arg:" + (root_ / "Scripts/install-macos.sh").string() + "\narg:--repair-enabled-list\narg:--no-open\n";
  const std::string env =
      "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nIPA_MAC_APP=" + (root_ / "Payload/Sonarell.app").string() +
      "\nIPA_REGISTRATION_APP=" + (root_ / "Registration/Keyloom.app").string() +
      "\nPASSED=值 with spaces\nPWD=" + stdfs::canonical(home_).string() + "\n";
  struct Case {
    std::string script;
    std::int32_t code;
    std::optional<QString> log;
    bool installedAfterOpening = false;
  };
  const Case cases[] = {
      {recorder, 0, QString::fromStdString(args + env)},
      {recorder, 0, QString::fromStdString(args + "arg:--update\n" + env), true},
      {"exit 0\n", 0, QString()},
      {"echo one; echo two >&2; printf 'three'; printf ' four\\n' >&2; exit 2\n", 2,
       u("one\ntwo\nthree four\n")},
      {"kill -TERM $$\n", 128 + SIGTERM, std::nullopt},
      {"kill -KILL $$\n", 128 + SIGKILL, std::nullopt},
      // Repaired text: a lone continuation byte, a truncated sequence, an overlong form, a surrogate.
      {"printf 'ok \\200 \\344\\270 \\300\\257 \\355\\240\\200 中'\n", 0,
       QString::fromUtf16(u"ok \uFFFD \uFFFD \uFFFD\uFFFD \uFFFD\uFFFD\uFFFD 中")},
      // The log removed (its reading is hostile-proof, see Rules): the exit status decides alone.
      {"echo gone; rm -f \"$HOME\"/Library/Logs/Sonarell/Installer/*.log; exit 4\n", 4,
       u("无法读取安装记录。")},
  };
  for (const Case& k : cases) {
    stdfs::remove_all(home_ / "Library");
    makePayload(k.script);
    auto& c = makeController();
    if (k.installedAfterOpening) markInstalled();
    ASSERT_EQ(runToOutcome(), k.code) << k.script;
    EXPECT_TRUE(!k.log || c.detailedLog() == *k.log) << k.script << c.detailedLog().toStdString();
    const bool ok = k.code == 0;
    EXPECT_EQ(
        text("detail"),
        ok ? u("可以打开输入法设置查看图文教学和试用音标键盘。\n升级备份和安装日志已保存在当前用户目录。")
           : kRetryAdvice);
    EXPECT_TRUE(shown("action") == !ok && find("action")->isEnabled() == !ok && shown("openSettings") == ok);
    EXPECT_TRUE(ok || text("action") == u("重试安装")) << text("action").toStdString();
    EXPECT_EQ(c.window()->defaultButton(), find<QPushButton>(ok ? "openSettings" : "action"));
    EXPECT_TRUE(shown("logToggle") && !shown("progress") && find("closeButton")->isEnabled());
    EXPECT_TRUE(!c.busy() && !c.hasRunningProcess() && c.windowShouldClose());
  }
}

TEST_F(InstallRun, FailuresWhileStartingEndInOneFinishAndTouchNoEarlierLog) {
  makePayload("echo first; exit 5\n");
  makeController();
  ASSERT_EQ(runToOutcome(), 5);
  const auto earlier = logFiles();
  ASSERT_EQ(earlier.size(), 1u);

  // The interpreter cannot be run: the new, empty log stays, not held open.
  auto& broken = makeController({(base_ / "no such/bash").string(), nullptr, nullptr});
  click("action");
  EXPECT_EQ(codes_, (std::vector<std::int32_t>{5, 1}));
  EXPECT_EQ(broken.detailedLog(), u("无法启动“bash”：文件或文件夹不存在。"));
  EXPECT_TRUE(!broken.busy() && !broken.hasRunningProcess() && find("action")->isEnabled());
  ASSERT_EQ(logFiles().size(), 2u);
  EXPECT_EQ(stdfs::file_size(*broken.logURL()), 0u);
  EXPECT_EQ(readFile(earlier[0]), "first\n");
  for (const auto& fd : stdfs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    EXPECT_NE(stdfs::read_symlink(fd.path(), ignored), stdfs::path(*broken.logURL()));
  }

  // The home's Library is a plain file: the log folder cannot be made.
  const auto otherHome = base_ / "other home";
  writeFile(otherHome / "Library", "not a folder");
  ScopedEnv home("HOME", otherHome.c_str());
  auto& noFolder = makeController();
  click("action");
  EXPECT_EQ(codes_, (std::vector<std::int32_t>{5, 1, 1}));
  EXPECT_EQ(noFolder.detailedLog(), u("无法创建文件夹“Library”：已存在同名项目。"));
  EXPECT_EQ(readFile(otherHome / "Library"), "not a folder");
  EXPECT_FALSE(noFolder.logURL().has_value());
  // The window stays usable, and no late second finish of the failed starts slips in.
  stdfs::remove(otherHome / "Library");
  EXPECT_EQ(runToOutcome(), 5);
  EXPECT_EQ(codes_, (std::vector<std::int32_t>{5, 1, 1, 5}));
  EXPECT_EQ(readFile(*noFolder.logURL()), "first\n");  // a new file per run
}

TEST_F(InstallRun, ControllerGoneBeforeTheScriptEndsDropsTheResult) {
  makePayload("echo $$ > \"$HOME/pid\"; while [ ! -e \"$HOME/go\" ]; do sleep 0.02; done; echo late\n");
  auto& c = makeController();
  click("action");
  ASSERT_TRUE(
      waitUntil([&] { return stdfs::exists(home_ / "pid") && readFile(home_ / "pid").ends_with('\n'); }));
  const pid_t pid = std::stoi(readFile(home_ / "pid"));
  const std::string log = *c.logURL();
  controller_.reset();
  writeFile(home_ / "go", "");
  ASSERT_TRUE(waitUntil([&] { return ::kill(pid, 0) != 0; }));  // ended and reaped
  QCoreApplication::processEvents();
  EXPECT_TRUE(codes_.empty());
  EXPECT_EQ(readFile(log), "late\n");  // the script ran to its end regardless
}

// The hand-off's services, recording what they are asked; answers come from another thread.
struct Recorder : workspace::Workspace, notifications::DistributedNotifier {
  void openApplication(const std::string& path, const std::vector<std::string>& arguments,
                       Completion completion) override {
    events.push_back("open " + path + " " + arguments.at(0));
    std::thread([&] { completion(answer); }).join();  // posts from that thread, joined before the next event
  }
  void post(const std::string& name) override { events.push_back("post " + name); }
  Result<void, workspace::OpenError> answer;
  std::vector<std::string> events;
};

TEST_F(InstallRun, SettingsHandOffOpensThenNotifiesOrShowsWhyInTheStatus) {
  makePayload("exit 0\n");
  auto services = std::make_shared<Recorder>();
  makeController({kInterpreter, services, services});
  ASSERT_EQ(runToOutcome(), 0);
  const std::string open = "open " + InstallerPayload::target() + " --settings";
  const std::string post = "post org.quennet.sonarell.show-settings";
  click("openSettings");
  click("openSettings");  // each press repeats the whole hand-off
  QCoreApplication::processEvents();
  EXPECT_EQ(services->events, (std::vector<std::string>{open, post, open, post}));
  EXPECT_EQ(text("status"), u("安装完成。请从菜单栏输入法菜单选择国际音标输入法。"));

  const auto prefix = std::string("输入法已安装，设置窗口未能打开：");
  using Kind = workspace::OpenError::Kind;
  const std::pair<workspace::OpenError, std::string> failures[] = {
      {{Kind::NoBundle, ENOENT, "/a"}, "找不到应用程序“Sonarell.app”。"},
      {{Kind::NoBundle, EACCES, "/a"}, "应用程序“Sonarell.app”已损坏或不完整：权限不足。"},
      {{Kind::NoExecutable, ENOENT, "/a"}, "应用程序“Sonarell.app”缺少可执行文件：文件或文件夹不存在。"},
      {{Kind::LaunchFailed, EACCES, "/x/Sonarell"}, "无法启动“Sonarell”：权限不足。"},
  };
  for (const auto& [error, why] : failures) {
    services->events.clear();
    services->answer = error;
    click("openSettings");
    const QString expected = u((prefix + why).c_str());
    EXPECT_TRUE(waitUntil([&] { return text("status") == expected; })) << why;
    EXPECT_EQ(services->events, std::vector<std::string>{open});  // nothing posted
    EXPECT_TRUE(shown("openSettings") && find("openSettings")->isEnabled() && !controller_->busy());
  }
}

// Counts the quit requests that get past the delegate. Installed before the
// delegate's filter, so it runs after it and sees only what was granted.
struct QuitObserver : QObject {
  QuitObserver() { QCoreApplication::instance()->installEventFilter(this); }
  ~QuitObserver() override { QCoreApplication::instance()->removeEventFilter(this); }
  int granted = 0;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != QCoreApplication::instance() || event->type() != QEvent::Quit) return false;
    ++granted;
    return true;  // the test's own event loop must keep running
  }
};

TEST_F(InstallRun, CloseAndQuitAreRefusedWhileBusyAndGrantedWhenIdle) {
  QuitObserver observer;
  {
    InstallerApplication delegate;  // no resources: a quit, no window
    delegate.applicationDidFinishLaunching(std::nullopt);
    QCoreApplication::processEvents();
    EXPECT_EQ(observer.granted, 1);
    EXPECT_EQ(delegate.controller(), nullptr);
  }
  InstallerApplication delegate;
  ASSERT_TRUE(delegate.signalsActive());
  delegate.applicationDidFinishLaunching(root_.string());  // an empty payload still opens
  InstallerController* c = delegate.controller();
  InstallerWindow* window = c->window();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  makePayload("while [ ! -e \"$HOME/go\" ]; do sleep 0.02; done\n");           // checked at the press
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();  // centred
  EXPECT_LE(std::abs(window->frameGeometry().center().x() - screen.center().x()), 2);

  c->setCompletionObserver([this](std::int32_t code) { codes_.push_back(code); });
  QTest::keyClick(window, Qt::Key_Return);  // the default button
  ASSERT_TRUE(c->busy());
  EXPECT_TRUE(window->findChild<QPushButton*>("logToggle")->isHidden());  // nothing to show yet
  EXPECT_FALSE(delegate.applicationShouldTerminate());
  EXPECT_FALSE(window->close());
  auto* closeButton = window->findChild<QPushButton*>("closeButton");
  closeButton->setEnabled(true);  // even when enabled by other means
  closeButton->click();
  QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::raise(signal);
  // The signals are already in their pipe: the next turns of the loop deliver them.
  for (int turn = 0; turn < 3; ++turn) QCoreApplication::processEvents();
  EXPECT_EQ(observer.granted, 1);
  EXPECT_TRUE(window->isVisible() && c->busy());

  writeFile(home_ / "go", "");  // idle again: granted (the real program's SIGTERM test shows the quit)
  ASSERT_TRUE(waitUntil([&] { return !codes_.empty(); }));
  EXPECT_TRUE(delegate.applicationShouldTerminate());
  closeButton->click();
  EXPECT_FALSE(window->isVisible());
}

// The real program waits for the user, and SIGTERM while idle ends it with status 0.
TEST_F(InstallRun, TheProgramQuitsOnSigtermWhenIdle) {
  auto code = std::make_shared<std::atomic<int>>(-1);  // the handler may outlive the test's frame
  process::LaunchConfiguration program;
  program.executable = SONARELL_INSTALLER_EXECUTABLE;
  program.environment = {"HOME=" + home_.string(), "QT_QPA_PLATFORM=offscreen"};
  auto started =
      process::ChildProcess::start(program, [code](const process::Termination& t) { *code = t.code; });
  ASSERT_TRUE(started) << started.error().posixError;
  // Ready once it catches SIGTERM (its handler is in place).
  const auto catches = [path = "/proc/" + std::to_string(started.value()->pid()) + "/status"] {
    std::ifstream status(path);
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigCgt:", 0) == 0)
        return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    return 0ull;
  };
  ASSERT_TRUE(waitUntil([&] { return catches() != 0 || *code != -1; }));
  ASSERT_EQ(*code, -1) << "it ended on its own";
  ::kill(started.value()->pid(), SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return *code != -1; }));
  EXPECT_EQ(*code, 0);
  EXPECT_FALSE(stdfs::exists(home_ / "Library"));  // nothing was run
}

}  // namespace
}  // namespace sonarell::installer::test
