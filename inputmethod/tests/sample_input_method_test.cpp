// The sample input method as a process against a private session bus, and its log writer in-process.

#include <gmock/gmock.h>

#include <sstream>
#include <thread>

#include "inputmethod/sample_log.h"
#include "platform/notifications/distributed_notifier_linux.h"
#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using ::testing::EndsWith;

std::vector<std::string> lines(const fsys::path& file) {
  std::vector<std::string> result;
  std::istringstream in(fsys::exists(file) ? readFile(file) : "");
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

RunResult runProgram(const fsys::path& home, const std::string& bus, bool settings) {
  std::vector<std::string> argv = {(buildDir() / "Sonarell.app/Contents/MacOS/Sonarell").string()};
  if (settings) argv.push_back("--settings");
  return run(argv,
             {"HOME=" + home.string(), "PATH=/usr/bin:/bin", "QT_QPA_PLATFORM=offscreen",
              "DBUS_SESSION_BUS_ADDRESS=" + bus, "XDG_RUNTIME_DIR=" + home.string()},
             home);
}

TEST(SampleInputMethodTest, AnswersTheSettingsHandOffOnceAndEndsWithoutADisplay) {
  TempDir home;
  SessionBus bus;
  ASSERT_FALSE(bus.address().empty());
  const fsys::path log = sample::logPath(home.path().string());
  RunResult first;
  std::thread running([&] { first = runProgram(home.path(), bus.address(), true); });
  // The start line is written once the program listens.
  ASSERT_TRUE(eventually([&] { return fsys::exists(log); }, std::chrono::seconds(10)));
  notifications::DBusNotifier notifier;
  notifier.post("com.example.unrelated");  // ignored: four lines in the end
  notifier.post("org.quennet.sonarell.show-settings");
  ASSERT_TRUE(eventually([&] { return lines(log).size() >= 2; }, std::chrono::seconds(5)));
  // A second start while the first runs hands over and ends at once.
  EXPECT_EQ(runProgram(home.path(), bus.address(), true).status, 0);
  running.join();  // the first one ends on its own after a short while
  EXPECT_EQ(first.status, 0) << first.output;

  const auto written = lines(log);
  ASSERT_EQ(written.size(), 4u) << readFile(log);
  EXPECT_THAT(written[0], EndsWith(": received --settings; no display, settings window not shown"));
  EXPECT_THAT(written[1], EndsWith(": received notification org.quennet.sonarell.show-settings; no display, "
                                   "settings window not shown"));
  // The second instance's request reached the first; the two lines land in either order.
  const bool handOffFirst = written[2].find("another instance is running") != std::string::npos;
  EXPECT_THAT(written[handOffFirst ? 2 : 3],
              ::testing::HasSubstr("received --settings; another instance is running, asked it to show"));
  const auto tail = [](const std::string& line) { return line.substr(line.find(" pid ")); };
  EXPECT_EQ(tail(written[handOffFirst ? 3 : 2]), tail(written[1]));

  // Without a bus it says so and still ends.
  TempDir alone;
  const RunResult plain = runProgram(alone.path(), "unix:path=" + (alone.path() / "no-bus").string(), false);
  EXPECT_EQ(plain.status, 0) << plain.output;
  EXPECT_THAT(lines(sample::logPath(alone.path().string())),
              ::testing::ElementsAre(
                  EndsWith(": started without --settings; no session bus, notifications will not arrive")));
}

TEST(SampleInputMethodTest, LogLinesStayWholeAndABlockedFolderChangesNothing) {
  TempDir home;
  const std::string h = home.path().string();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&h, t] {
      for (int i = 0; i < 200; ++i)
        EXPECT_TRUE(
            sample::appendLogLine(h, "writer " + std::to_string(t) + " line " + std::to_string(i) + " end"));
    });
  }
  for (auto& w : writers) w.join();
  const auto written = lines(sample::logPath(h));
  ASSERT_EQ(written.size(), 800u);
  for (const auto& line : written) EXPECT_THAT(line, EndsWith(" end"));

  writeFile(home.path() / "blocked/Library/Logs", "not a folder\n");
  EXPECT_FALSE(sample::appendLogLine((home.path() / "blocked").string(), "x"));
  EXPECT_EQ(readFile(home.path() / "blocked/Library/Logs"), "not a folder\n");
}

}  // namespace
}  // namespace sonarell::road
