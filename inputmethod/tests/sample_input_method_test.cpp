#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "inputmethod/sample_log.h"
#include "platform/notifications/distributed_notifier_linux.h"
#include "tests/support/road_support.h"

namespace sonarell::road {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

fsys::path program() { return buildDir() / "Sonarell.app/Contents/MacOS/Sonarell"; }

std::vector<std::string> headlessEnvironment(const fsys::path& home, const std::string& bus) {
  return {"HOME=" + home.string(), "PATH=/usr/bin:/bin", "QT_QPA_PLATFORM=offscreen",
          "DBUS_SESSION_BUS_ADDRESS=" + bus, "XDG_RUNTIME_DIR=" + home.string()};
}

TEST(SampleInputMethodTest, AnswersTheSettingsHandOffOnceAndEndsWithoutADisplay) {
  TempDir home;
  SessionBus bus;
  ASSERT_FALSE(bus.address().empty());
  const fsys::path log = sample::logPath(home.path().string());
  const auto env = headlessEnvironment(home.path(), bus.address());

  RunResult first;
  std::thread running([&] { first = run({program().string(), "--settings"}, env, home.path()); });
  // The start line is written once the program listens.
  ASSERT_TRUE(eventually([&] { return fsys::exists(log); }, std::chrono::seconds(10)));

  notifications::DBusNotifier notifier;
  notifier.post("com.example.unrelated");
  notifier.post("org.quennet.sonarell.show-settings");
  ASSERT_TRUE(eventually([&] { return lines(readFile(log)).size() >= 2; }, std::chrono::seconds(5)));

  // A second start while the first runs hands over and ends at once.
  const RunResult second = run({program().string(), "--settings"}, env, home.path());
  EXPECT_EQ(second.status, 0);
  running.join();  // the first one ends on its own after a short while
  EXPECT_EQ(first.status, 0) << first.output;

  const auto written = lines(readFile(log));
  ASSERT_EQ(written.size(), 4u) << readFile(log);
  EXPECT_THAT(written[0], EndsWith(": received --settings; no display, settings window not shown"));
  EXPECT_THAT(written[1], EndsWith(": received notification org.quennet.sonarell.show-settings; no display, "
                                   "settings window not shown"));
  // The second instance's own request reached the first one; the two lines may
  // land in either order.
  const auto tail = [](const std::string& line) { return line.substr(line.find(" pid ")); };
  const bool handOffFirst = written[2].find("another instance is running") != std::string::npos;
  const std::string& handOff = handOffFirst ? written[2] : written[3];
  const std::string& received = handOffFirst ? written[3] : written[2];
  EXPECT_THAT(handOff, HasSubstr("received --settings; another instance is running, asked it to show"));
  EXPECT_EQ(tail(received), tail(written[1]));
  for (const auto& line : written) EXPECT_THAT(line, Not(HasSubstr("unrelated")));
}

TEST(SampleInputMethodTest, WithoutABusItLogsThatAndStillEnds) {
  TempDir home;
  const auto env = headlessEnvironment(home.path(), "unix:path=" + (home.path() / "no-bus").string());
  const RunResult plain = run({program().string()}, env, home.path());
  EXPECT_EQ(plain.status, 0) << plain.output;
  const auto written = lines(readFile(sample::logPath(home.path().string())));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_THAT(written[0], AllOf(HasSubstr("started without --settings"),
                                EndsWith("no session bus, notifications will not arrive")));
}

TEST(SampleInputMethodTest, LogLinesStayWholeAndAMissingFolderIsMade) {
  TempDir home;
  const std::string h = home.path().string();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&h, t] {
      for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(
            sample::appendLogLine(h, "writer " + std::to_string(t) + " line " + std::to_string(i) + " end"));
      }
    });
  }
  for (auto& w : writers) w.join();
  const auto written = lines(readFile(sample::logPath(h)));
  ASSERT_EQ(written.size(), 800u);
  for (const auto& line : written) EXPECT_THAT(line, EndsWith(" end"));

  // A file where the log folder should be: the append fails and nothing is touched.
  TempDir blocked;
  writeFile(blocked.path() / "Library/Logs", "not a folder\n");
  EXPECT_FALSE(sample::appendLogLine(blocked.path().string(), "x"));
  EXPECT_EQ(readFile(blocked.path() / "Library/Logs"), "not a folder\n");
}

}  // namespace
}  // namespace sonarell::road
