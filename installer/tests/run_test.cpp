// Install runs against scripts written into the test's own payload: what the
// script receives, what lands in the log, and how each ending is shown.

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <csignal>
#include <regex>
#include <sstream>
#include <thread>

#include "installer/controller/texts.h"
#include "installer/tests/support.h"

namespace sonarell::installer::testing {
namespace {

using InstallRun = InstallerTest;

// A script that records what it was given: its arguments one per line, then the
// three variables, a variable the test passes through, and its directory.
const char* kRecorder = R"sh(printf 'arg:%s\n' "$0" "$@"
printf 'PATH=%s\n' "$PATH"
printf 'IPA_MAC_APP=%s\n' "$IPA_MAC_APP"
printf 'IPA_REGISTRATION_APP=%s\n' "$IPA_REGISTRATION_APP"
printf 'PASSED=%s\n' "$SONARELL_TEST_PASSED"
printf 'PWD=%s\n' "$(pwd -P)"
)sh";

std::vector<std::string> lines(const QString& text) {
  std::vector<std::string> out;
  std::istringstream in(text.toStdString());
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST_F(InstallRun, ScriptGetsItsArgumentsEnvironmentAndHomeAsWorkingDirectory) {
  makePayload(kRecorder);
  sonarell::testing::ScopedEnv path("PATH", "/opt/elsewhere:/usr/bin:/bin");
  sonarell::testing::ScopedEnv mac("IPA_MAC_APP", "/inherited/should/be/replaced");
  sonarell::testing::ScopedEnv passed("SONARELL_TEST_PASSED", "值 with spaces");
  auto& c = makeController();
  EXPECT_EQ(runToOutcome(), 0);

  const std::string script = (root_ / "Scripts/install-macos.sh").string();
  const std::vector<std::string> expectedFresh = {
      "arg:" + script,
      "arg:--repair-enabled-list",
      "arg:--no-open",
      "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
      "IPA_MAC_APP=" + (root_ / "Payload/Sonarell.app").string(),
      "IPA_REGISTRATION_APP=" + (root_ / "Registration/Keyloom.app").string(),
      "PASSED=值 with spaces",
      "PWD=" + stdfs::canonical(home_).string(),
  };
  EXPECT_EQ(lines(c.detailedLog()), expectedFresh);
  ASSERT_TRUE(c.logURL().has_value());
  EXPECT_EQ(readFile(*c.logURL()), c.detailedLog().toStdString());  // the file holds exactly the output

  // Now something is installed: "--update" comes last, evaluated at the press.
  markInstalled();
  c.install();  // the main button is gone after success; the run is still what it starts
  ASSERT_TRUE(waitUntil([&] { return codes_.size() == 2; }));
  auto expectedUpdate = expectedFresh;
  expectedUpdate.insert(expectedUpdate.begin() + 3, "arg:--update");
  EXPECT_EQ(lines(c.detailedLog()), expectedUpdate);
}

TEST_F(InstallRun, LogIsOneFileWithBothStreamsInterleavedAndANewFilePerRun) {
  makePayload("echo one; echo two >&2; printf 'three'; printf ' four\\n' >&2; exit 3\n");
  auto& c = makeController();
  EXPECT_EQ(runToOutcome(), 3);
  EXPECT_EQ(c.detailedLog(), u("one\ntwo\nthree four\n"));
  ASSERT_EQ(logFiles().size(), 1u);
  const auto first = logFiles()[0];
  EXPECT_TRUE(std::regex_match(
      first.filename().string(),
      std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.log")))
      << first;
  EXPECT_EQ(*c.logURL(), first.string());

  // The failure state, then a retry with a new file; the first stays as it was.
  EXPECT_EQ(text("action"), u("重试安装"));
  EXPECT_TRUE(find("action")->isEnabled());
  writeScript("echo second\n");
  EXPECT_EQ(runToOutcome(), 0);
  ASSERT_EQ(logFiles().size(), 2u);
  EXPECT_EQ(readFile(first), "one\ntwo\nthree four\n");
  EXPECT_NE(*c.logURL(), first.string());
  EXPECT_EQ(readFile(*c.logURL()), "second\n");
}

TEST_F(InstallRun, OutcomesFollowTheExitStatusAlone) {
  makePayload("exit 0\n");
  auto& c = makeController();
  EXPECT_EQ(runToOutcome(), 0);
  EXPECT_TRUE(c.detailedLog().isEmpty());  // wrote nothing
  EXPECT_EQ(text("status"), u("安装完成。请从菜单栏输入法菜单选择国际音标输入法。"));
  EXPECT_EQ(text("detail"),
            u("可以打开输入法设置查看图文教学和试用音标键盘。\n升级备份和安装日志已保存在当前用户目录。"));
  EXPECT_EQ(text("logView"),
            u("安装文件校验通过，输入法已启用。\n从菜单栏选择国际音标输入法，即可开始输入。\n"
              "点击打开输入法设置，可查看四页图文教学。"));
  EXPECT_TRUE(find("action")->isHidden());
  EXPECT_FALSE(find("action")->isEnabled());  // left disabled from the run
  EXPECT_FALSE(find("openSettings")->isHidden());
  EXPECT_EQ(c.window()->defaultButton(), find<QPushButton>("openSettings"));
  EXPECT_FALSE(find("logToggle")->isHidden());
  EXPECT_TRUE(find("progress")->isHidden());
  EXPECT_TRUE(find("closeButton")->isEnabled());
  EXPECT_FALSE(c.busy());
  EXPECT_FALSE(c.hasRunningProcess());

  for (const char* script : {"echo bad; exit 2\n", "kill -TERM $$\n", "kill -KILL $$\n"}) {
    makeController();  // a fresh window each time, so the main button is there to press
    writeScript(script);
    const std::int32_t code = runToOutcome();
    EXPECT_NE(code, 0) << script;
    EXPECT_EQ(text("status"), u("安装未完成，请查看下方记录。")) << script;
    EXPECT_EQ(text("detail"),
              u("可重新下载并完整解压安装包后重试。已有文件与日志会保留；如果记录提示已安装但未启用，"
                "可在系统键盘设置中添加。"));
    EXPECT_EQ(text("logView"), u("本次安装未完成。请查看详细记录后重试，或保留记录用于反馈。"));
    EXPECT_EQ(text("action"), u("重试安装"));
    EXPECT_TRUE(find("action")->isEnabled());
    EXPECT_TRUE(find("openSettings")->isHidden());
  }
  EXPECT_EQ(codes_.back(), 128 + SIGKILL);
}

TEST_F(InstallRun, LogTextIsRepairedUtf8OrTheUnreadableNotice) {
  // Valid text around: a lone continuation byte, a truncated three-byte
  // sequence, an overlong form and a surrogate, each one U+FFFD per maximal subpart.
  makePayload("printf 'ok \\200 \\344\\270 \\300\\257 \\355\\240\\200 中 end'\n");
  auto& c = makeController();
  EXPECT_EQ(runToOutcome(), 0);
  EXPECT_EQ(c.detailedLog(), QString::fromUtf16(u"ok \uFFFD \uFFFD \uFFFD\uFFFD \uFFFD\uFFFD\uFFFD 中 end"));

  makeController();
  writeScript("echo gone; rm -f \"$HOME\"/Library/Logs/Sonarell/Installer/*.log; exit 4\n");
  EXPECT_EQ(runToOutcome(), 4);
  EXPECT_EQ(controller_->detailedLog(), u("无法读取安装记录。"));
  EXPECT_EQ(text("status"), u("安装未完成，请查看下方记录。"));

  makeController();
  writeScript(
      "for f in \"$HOME\"/Library/Logs/Sonarell/Installer/*.log; do rm -f \"$f\"; mkdir \"$f\"; done\n");
  EXPECT_EQ(runToOutcome(), 0);  // the outcome is the exit status's, whatever the log
  EXPECT_EQ(controller_->detailedLog(), u("无法读取安装记录。"));
}

TEST_F(InstallRun, RunningStateAndASecondPressWhileBusy) {
  makePayload("echo started; while [ ! -e \"$HOME/go\" ]; do sleep 0.02; done; echo done\n");
  auto& c = makeController();
  c.window()->show();
  click("action");
  ASSERT_TRUE(c.busy());
  EXPECT_FALSE(find("action")->isEnabled());
  EXPECT_FALSE(find("closeButton")->isEnabled());
  EXPECT_FALSE(find("progress")->isHidden());
  EXPECT_EQ(text("status"), u("正在安装并启用输入法，请稍候…"));
  EXPECT_EQ(text("logView"), u("正在校验并复制安装内容，请保持安装窗口打开。"));
  EXPECT_TRUE(c.hasRunningProcess());
  ASSERT_TRUE(c.logURL().has_value());
  EXPECT_TRUE(find("logToggle")->isHidden());
  EXPECT_EQ(
      text("detail"),
      u("点击下方按钮即可安装，无需命令行工具。\n仅安装到当前用户的输入法目录；升级会保留旧版本备份。"));

  // A second press, through the slot itself so that the disabled button is no excuse.
  c.install();
  QMetaObject::invokeMethod(&c, "install");
  ASSERT_TRUE(waitUntil([&] { return readFile(*c.logURL()) == "started\n"; }));
  EXPECT_EQ(logFiles().size(), 1u);
  EXPECT_TRUE(codes_.empty());

  writeFile(home_ / "go", "");
  ASSERT_TRUE(waitUntil([&] { return !codes_.empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  QCoreApplication::processEvents();
  EXPECT_EQ(codes_, std::vector<std::int32_t>{0});  // exactly one outcome
  EXPECT_EQ(c.detailedLog(), u("started\ndone\n"));
  c.window()->close();
}

TEST_F(InstallRun, IncompletePayloadFailsAtOnceAndMakesNothing) {
  const char* incomplete[] = {"Payload/Sonarell.app/Contents/Info.plist",
                              "Registration/Keyloom.app/Contents/MacOS/Keyloom", "Scripts/install-macos.sh"};
  for (const char* missing : incomplete) {
    makePayload("exit 0\n");
    stdfs::remove(root_ / missing);
    auto& c = makeController();
    click("action");
    ASSERT_EQ(codes_.back(), 1) << missing;
    EXPECT_FALSE(c.busy());
    EXPECT_FALSE(c.hasRunningProcess());
    EXPECT_EQ(c.detailedLog(), u("安装内容不完整，请重新下载并完整解压安装包。"));
    EXPECT_EQ(text("status"), u("安装未完成，请查看下方记录。"));
    EXPECT_EQ(text("action"), u("重试安装"));
    EXPECT_FALSE(stdfs::exists(home_ / "Library")) << missing;
  }
  EXPECT_EQ(codes_.size(), 3u);
  // A folder where the script should be, and no execute bits, still pass.
  stdfs::remove(root_ / "Scripts/install-macos.sh");
  stdfs::create_directories(root_ / "Scripts/install-macos.sh");
  EXPECT_FALSE(InstallerPayload(root_.string()).validate().has_value());
}

TEST_F(InstallRun, FailuresWhileStartingEndInOneFinishAndTouchNoEarlierLog) {
  makePayload("echo first; exit 5\n");
  makeController();
  ASSERT_EQ(runToOutcome(), 5);
  const auto earlier = logFiles();
  ASSERT_EQ(earlier.size(), 1u);

  // The interpreter cannot be run: the new, empty log stays; the earlier one is untouched.
  ControllerOptions noBash;
  noBash.interpreter = (base_ / "no such" / "bash").string();
  auto& broken = makeController(noBash);
  click("action");
  ASSERT_EQ(codes_.size(), 2u);
  EXPECT_EQ(codes_.back(), 1);
  EXPECT_EQ(broken.detailedLog(), u("无法启动“bash”：文件或文件夹不存在。"));
  EXPECT_FALSE(broken.busy());
  EXPECT_FALSE(broken.hasRunningProcess());
  EXPECT_TRUE(find("action")->isEnabled());
  EXPECT_TRUE(find("closeButton")->isEnabled());
  EXPECT_TRUE(find("progress")->isHidden());
  ASSERT_EQ(logFiles().size(), 2u);
  ASSERT_TRUE(broken.logURL().has_value());
  EXPECT_EQ(stdfs::file_size(*broken.logURL()), 0u);
  EXPECT_EQ(readFile(earlier[0]), "first\n");
  // Nothing of that log stays open in the installer.
  for (const auto& fd : stdfs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    EXPECT_NE(stdfs::read_symlink(fd.path(), ignored), stdfs::path(*broken.logURL()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  QCoreApplication::processEvents();
  EXPECT_EQ(codes_.size(), 2u);

  // The home's Library is a plain file: the log folder cannot be made.
  const auto otherHome = base_ / "other home";
  stdfs::create_directories(otherHome);
  writeFile(otherHome / "Library", "not a folder");
  sonarell::testing::ScopedEnv home("HOME", otherHome.c_str());
  auto& noFolder = makeController();
  click("action");
  ASSERT_EQ(codes_.size(), 3u);
  EXPECT_EQ(codes_.back(), 1);
  EXPECT_EQ(noFolder.detailedLog(), u("无法创建文件夹“Library”：已存在同名项目。"));
  EXPECT_EQ(readFile(otherHome / "Library"), "not a folder");
  EXPECT_FALSE(noFolder.logURL().has_value());
  EXPECT_TRUE(find("action")->isEnabled());
  EXPECT_EQ(text("action"), u("重试安装"));
  // The window stays usable: a retry with a writable home goes through.
  stdfs::remove(otherHome / "Library");
  EXPECT_EQ(runToOutcome(), 5);
}

TEST_F(InstallRun, ControllerGoneBeforeTheScriptEndsDropsTheResult) {
  makePayload("sleep 0.2; echo late\n");
  auto& c = makeController();
  click("action");
  ASSERT_TRUE(c.busy());
  const std::string log = *c.logURL();
  controller_.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  QCoreApplication::processEvents();
  EXPECT_TRUE(codes_.empty());
  EXPECT_EQ(readFile(log), "late\n");  // the script ran to its end regardless
}

}  // namespace
}  // namespace sonarell::installer::testing
