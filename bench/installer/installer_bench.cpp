// Figures for the installer: start-up to window shown, the event loop's longest
// stall while a script writes 64 MiB, reading back and decoding a 64 MiB log
// next to cat, and switching to details mode with a 16 MiB and a 64 MiB log, one
// 2 MB line and 100,000 short lines (the text edit baseline beside them).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "installer/controller/installer_controller.h"
#include "installer/controller/log_text_view.h"
#include "installer/run/log_reader.h"
#include "installer/text/utf8_decoder.h"
#include "platform/fs/unique_fd.h"
#include "platform/process/child_process.h"
#include "tests/support/spawn.h"

namespace {

namespace stdfs = std::filesystem;
using namespace sonarell;

stdfs::path scratch() {
  static const stdfs::path dir = [] {
    auto d = stdfs::temp_directory_path() / ("sonarell-installer-bench-" + std::to_string(::getpid()));
    stdfs::create_directories(d);
    return d;
  }();
  return dir;
}

// Log-like text: lines of mixed ASCII and Chinese, the way an install log reads.
std::string logText(std::size_t bytes) {
  static const char* kLines[] = {
      "keyloom: step=register status=0 path=/Users/someone/Library/Input Methods/Sonarell.app\n",
      "正在复制安装内容到当前用户的输入法目录，请稍候……\n",
      "copy: Contents/Resources/zh-Hans.lproj/Localizable.strings -> staged\n",
      "enabled-list: entries=12 ours=2 kept=10 backup=written\n",
  };
  std::string s;
  s.reserve(bytes + 128);
  for (std::size_t i = 0; s.size() < bytes; ++i) s += kLines[i % 4];
  s.resize(bytes);
  return s;
}

stdfs::path logFile(std::size_t bytes) {
  const auto path = scratch() / ("log-" + std::to_string(bytes) + ".log");
  if (!stdfs::exists(path) || stdfs::file_size(path) != bytes)
    std::ofstream(path, std::ios::binary) << logText(bytes);
  return path;
}

// Starts a program with the given standard output (and error) and waits for it.
int runAndWait(const std::vector<std::string>& argv, int outFd) {
  const auto done =
      process::runToEnd({argv[0], {argv.begin() + 1, argv.end()}, test::inheritedEnvironment({}), "", outFd});
  return done ? done.value().code : -1;
}

void BM_StartupToWindowShown(benchmark::State& state) {
  const std::vector<std::string> environment = test::inheritedEnvironment({});
  for (auto _ : state) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    fs::UniqueFd readEnd(fds[0]);
    fs::UniqueFd writeEnd(fds[1]);
    auto ended = std::make_shared<std::promise<void>>();
    const auto start = std::chrono::steady_clock::now();
    // Only its standard output reaches the pipe: the probe writes there once the window is shown.
    process::LaunchConfiguration probeRun{
        SONARELL_STARTUP_PROBE, {SONARELL_INSTALLER_RESOURCES}, environment, ""};
    probeRun.outputFd = writeEnd.get();
    probeRun.errorFd = STDERR_FILENO;
    auto probe =
        process::ChildProcess::start(probeRun, [ended](const process::Termination&) { ended->set_value(); });
    writeEnd.reset();
    if (!probe) {
      state.SkipWithError("probe did not start");
      return;
    }
    char buffer[16] = {};
    const ssize_t n = read(readEnd.get(), buffer, sizeof buffer);
    const auto shown = std::chrono::steady_clock::now();
    ended->get_future().wait();
    if (n <= 0) {
      state.SkipWithError("the window was not shown");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(shown - start).count());
  }
}
BENCHMARK(BM_StartupToWindowShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// A payload of our own with the given script, and HOME pointed into the scratch folder.
std::unique_ptr<installer::InstallerController> controllerWithScript(const std::string& script) {
  const auto root = scratch() / "payload";
  stdfs::create_directories(root / "Payload/Sonarell.app/Contents");
  std::ofstream(root / "Payload/Sonarell.app/Contents/Info.plist") << "<plist><dict></dict></plist>";
  stdfs::create_directories(root / "Registration/Keyloom.app/Contents/MacOS");
  std::ofstream(root / "Registration/Keyloom.app/Contents/MacOS/Keyloom") << "";
  stdfs::create_directories(root / "Scripts");
  std::ofstream(root / "Scripts/install-macos.sh") << script;
  const auto home = scratch() / "home";
  stdfs::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  return std::make_unique<installer::InstallerController>(installer::InstallerPayload(root.string()));
}

void BM_EventLoopLongestStallDuringA64MiBRun(benchmark::State& state) {
  double worst = 0;
  for (auto _ : state) {
    auto c = controllerWithScript("head -c 67108864 /dev/zero | tr '\\0' 'x'\necho\n");
    c->window()->show();
    if (!QTest::qWaitForWindowExposed(c->window())) state.SkipWithError("window not exposed");
    bool done = false;
    c->setCompletionObserver([&](std::int32_t) { done = true; });
    QElapsedTimer sinceLast;
    qint64 longest = 0;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      longest = std::max(longest, sinceLast.nsecsElapsed());
      sinceLast.restart();
    });
    c->window()->findChild<QPushButton*>("action")->click();
    sinceLast.start();
    tick.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (done) loop.quit();
    });
    poll.start(5);
    loop.exec();
    // One more tick after the outcome, so that finish itself is measured.
    QTest::qWait(20);
    tick.stop();
    const double ms = static_cast<double>(longest) / 1e6;
    worst = std::max(worst, ms);
    state.SetIterationTime(ms / 1000.0);
    if (c->detailedLog().size() != 67108864 + 1) state.SkipWithError("log incomplete");
  }
  state.counters["longest_stall_ms"] = worst;
}
BENCHMARK(BM_EventLoopLongestStallDuringA64MiBRun)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_Cat64MiBToDevNull(benchmark::State& state) {
  const auto path = logFile(64u << 20);
  fs::UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  for (auto _ : state) runAndWait({"/bin/cat", path.string()}, devNull.get());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (64 << 20));
}
BENCHMARK(BM_Cat64MiBToDevNull)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_ReadBackAndDecode64MiBLog(benchmark::State& state) {
  const auto path = logFile(64u << 20);
  for (auto _ : state) {
    // On a thread of its own, as the termination handler does it.
    std::optional<QString> text;
    std::thread reader([&] { text = installer::readLog(path.string()); });
    reader.join();
    benchmark::DoNotOptimize(text);
    if (!text || text->isEmpty()) state.SkipWithError("unreadable");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (64 << 20));
}
BENCHMARK(BM_ReadBackAndDecode64MiBLog)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// cat and the read-back in turns, so that whatever else the machine does weighs
// on both alike; the figures are the best of each and their ratio.
void BM_ReadBackVersusCatSideBySide(benchmark::State& state) {
  const auto path = logFile(64u << 20);
  fs::UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  double bestCat = 1e9, bestRead = 1e9;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    runAndWait({"/bin/cat", path.string()}, devNull.get());
    auto t1 = std::chrono::steady_clock::now();
    std::optional<QString> text;
    std::thread reader([&] { text = installer::readLog(path.string()); });
    reader.join();
    auto t2 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(text);
    bestCat = std::min(bestCat, std::chrono::duration<double, std::milli>(t1 - t0).count());
    bestRead = std::min(bestRead, std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  state.counters["cat_ms"] = bestCat;
  state.counters["readback_ms"] = bestRead;
  state.counters["ratio"] = bestRead / bestCat;
}
BENCHMARK(BM_ReadBackVersusCatSideBySide)->Unit(benchmark::kMillisecond)->Iterations(30)->UseRealTime();

void BM_DecodeOnly64MiB(benchmark::State& state) {
  const std::string bytes = logText(64u << 20);
  for (auto _ : state) benchmark::DoNotOptimize(installer::decodeUtf8(bytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (64 << 20));
}
BENCHMARK(BM_DecodeOnly64MiB)->Unit(benchmark::kMillisecond);

void BM_QStringFromUtf8Only64MiB(benchmark::State& state) {
  const std::string bytes = logText(64u << 20);
  for (auto _ : state) benchmark::DoNotOptimize(QString::fromUtf8(bytes.data(), qsizetype(bytes.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (64 << 20));
}
BENCHMARK(BM_QStringFromUtf8Only64MiB)->Unit(benchmark::kMillisecond);

// The baseline: a fresh QPlainTextEdit of the log area's size, setPlainText, painted.
void BM_PlainSetPlainText16MiB(benchmark::State& state) {
  const QString text = QString::fromStdString(logText(16u << 20));
  for (auto _ : state) {
    state.PauseTiming();
    QPlainTextEdit edit;
    edit.resize(588, 129);
    QFont font("monospace");
    font.setPixelSize(11);
    edit.setFont(font);
    edit.show();
    if (!QTest::qWaitForWindowExposed(&edit)) state.SkipWithError("window not exposed");
    state.ResumeTiming();
    edit.setPlainText(text);
    edit.repaint();
  }
}
BENCHMARK(BM_PlainSetPlainText16MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

// Logs of a given shape, written once per run of the benchmark.
stdfs::path shapedLog(const std::string& name, const std::string& unit, std::size_t count) {
  const auto path = scratch() / name;
  if (!stdfs::exists(path)) {
    std::string s;
    s.reserve(unit.size() * count);
    for (std::size_t i = 0; i < count; ++i) s += unit;
    std::ofstream(path, std::ios::binary) << s;
  }
  return path;
}

// Resident memory of the process, in KiB.
double residentKiB() {
  long pages = 0, resident = 0;
  if (std::ifstream statm("/proc/self/statm"); !(statm >> pages >> resident)) return 0;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

// The installer's own switch: from the outcome's summary to the whole log, painted.
// Also reports what the first switch adds to the resident memory: the view's own
// index and layouts, since the log itself is shared with the controller.
void switchToDetails(benchmark::State& state, const stdfs::path& path) {
  auto c = controllerWithScript("cat '" + path.string() + "'\n");
  c->window()->show();
  if (!QTest::qWaitForWindowExposed(c->window())) state.SkipWithError("window not exposed");
  bool done = false;
  c->setCompletionObserver([&](std::int32_t) { done = true; });
  c->window()->findChild<QPushButton*>("action")->click();
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  auto* toggle = c->window()->findChild<QPushButton*>("logToggle");
  auto* view = c->window()->findChild<installer::LogTextView*>("logView");
  if (c->detailedLog().isEmpty()) state.SkipWithError("log not read");
  const double before = residentKiB();
  double added = -1;
  for (auto _ : state) {
    toggle->click();  // into details
    view->repaint();
    state.PauseTiming();
    if (added < 0) added = residentKiB() - before;
    if (view->toPlainText() != c->detailedLog()) {
      state.SkipWithError("log not shown whole");
      break;
    }
    toggle->click();  // back to the summary
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.counters["first_switch_adds_KiB"] = added;
}

void BM_SwitchToDetailsWith16MiBLog(benchmark::State& state) { switchToDetails(state, logFile(16u << 20)); }
BENCHMARK(BM_SwitchToDetailsWith16MiBLog)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SwitchToDetailsWith64MiBLog(benchmark::State& state) { switchToDetails(state, logFile(64u << 20)); }
BENCHMARK(BM_SwitchToDetailsWith64MiBLog)->Unit(benchmark::kMillisecond)->Iterations(5);

// One line of 2 MB without a break: the shape that froze a text edit for minutes.
void BM_SwitchToDetailsWithOne2MBLine(benchmark::State& state) {
  switchToDetails(state, shapedLog("line.log", "x", 2000000));
}
BENCHMARK(BM_SwitchToDetailsWithOne2MBLine)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SwitchToDetailsWith100000ShortLines(benchmark::State& state) {
  switchToDetails(state, shapedLog("short.log", "a\n", 100000));
}
BENCHMARK(BM_SwitchToDetailsWith100000ShortLines)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  stdfs::remove_all(scratch(), ignored);
  return 0;
}
