// Whole-process figures for Keyloom:
//  - the check form's start in a home with a registered and enabled bundle,
//    side by side with a minimal C++ program, as medians and their difference;
//  - a repair run with 10,000 foreign entries in the enabled list, as the time it
//    takes beyond its fixed waits (3.0 s, and 0.5 s more on the refresh path).

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/launchservices/launch_services_linux.h"
#include "platform/plist/codec.h"
#include "platform/textinput/text_input_services_linux.h"
#include "tests/support/spawn.h"

extern char** environ;

namespace {

using namespace sonarell;
using Clock = std::chrono::steady_clock;

const std::string kBundleID = "org.quennet.inputmethod.Sonarell";
const std::string kModeID = "org.quennet.inputmethod.Sonarell.Hans";

void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

struct Run {
  int status = -1;
  double seconds = 0;
};

// Spawns the program with HOME set, stdout to the given file, stderr discarded,
// and no session bus, and waits for it.
Run spawnAndWait(const std::string& program, const std::vector<std::string>& args, const std::string& home,
                 const std::string& outPath = "/dev/null") {
  const test::Spawn spawn{
      program, args,        {"HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bench-bus"},
      outPath, "/dev/null", ""};
  Run run;
  const auto start = Clock::now();
  run.status = test::spawnAndWait(spawn);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// User and system time of the ended children so far; the part of a run that
// does not depend on how busy the machine is.
double childCpuMilliseconds() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

plist::Dictionary record(const std::string& kind, const std::string& bundle, const std::string& mode = "") {
  plist::Dictionary d{{"InputSourceKind", plist::Value(kind)}, {"Bundle ID", plist::Value(bundle)}};
  if (!mode.empty()) d.set("Input Mode", plist::Value(mode));
  return d;
}

// A home with the input method installed, registered, and the given enabled list.
bool prepareHome(const std::string& home, const plist::Array& enabled) {
  const std::string app = home + "/Library/Input Methods/Sonarell.app";
  writeFile(app + "/Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>" +
                kBundleID +
                "</string><key>CFBundleName</key><string>Sonarell</string>"
                "<key>ComponentInputModeDict</key><dict><key>tsInputModeListKey</key><dict><key>" +
                kModeID +
                "</key><dict><key>tsInputModeMenuTitle</key><string>IPA</string></dict></dict></dict>"
                "</dict></plist>\n");
  const auto xml =
      plist::toXml(plist::Value(plist::Dictionary{{"AppleEnabledInputSources", plist::Value(enabled)}}));
  if (!xml) return false;
  writeFile(home + "/Library/Preferences/com.apple.HIToolbox.plist", *xml);
  return launchservices::LinuxLaunchServices(home).registerURL(app, true) == 0 &&
         textinput::LinuxTextInputServices(home).registerInputSource(app) == 0;
}

std::string makeTempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/keyloom-bench-XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

int checkFormStart(int rounds) {
  const std::string home = makeTempDir();
  if (home.empty() || !prepareHome(home, {plist::Value(record("Keyboard Input Method", kBundleID)),
                                          plist::Value(record("Input Mode", kBundleID, kModeID))})) {
    std::fprintf(stderr, "could not prepare the home folder\n");
    return 1;
  }
  const std::string app = home + "/Library/Input Methods/Sonarell.app";
  const Run probe = spawnAndWait(KEYLOOM_EXECUTABLE, {app, "--check"}, home, home + "/check.out");
  if (probe.status != 0) {
    std::fprintf(stderr, "the check form is not ready (status %d):\n%s", probe.status,
                 readFile(home + "/check.out").c_str());
    return 1;
  }
  std::vector<double> keyloom, minimal;
  for (int i = 0; i < rounds; ++i) {
    minimal.push_back(spawnAndWait(MINIMAL_EXECUTABLE, {}, home).seconds);
    keyloom.push_back(spawnAndWait(KEYLOOM_EXECUTABLE, {app, "--check"}, home).seconds);
  }
  const double k = median(keyloom) * 1e3, m = median(minimal) * 1e3;
  std::printf("check form, %d runs each, interleaved (posix_spawn + waitpid):\n", rounds);
  std::printf("  minimal C++ program median: %.3f ms\n", m);
  std::printf("  Keyloom --check median:     %.3f ms\n", k);
  std::printf("  difference:                 %.3f ms (target: within 3 ms)\n", k - m);
  std::filesystem::remove_all(home);
  return 0;
}

int repairRun(int runs) {
  const std::string home = makeTempDir();
  plist::Array enabled;
  for (int i = 0; i < 10000; ++i) {
    enabled.emplace_back(
        plist::Dictionary{{"InputSourceKind", plist::Value("Keyboard Layout")},
                          {"KeyboardLayout ID", plist::Value(i)},
                          {"KeyboardLayout Name", plist::Value("Layout " + std::to_string(i))}});
  }
  if (home.empty() || !prepareHome(home, enabled)) {
    std::fprintf(stderr, "could not prepare the home folder\n");
    return 1;
  }
  const std::string app = home + "/Library/Input Methods/Sonarell.app";
  std::printf("repair run, 10,000 foreign entries, %d runs:\n", runs);
  const std::string list = home + "/Library/Preferences/com.apple.HIToolbox.plist";
  std::vector<double> beyond, cpu, cat;
  for (int i = 0; i < runs; ++i) {
    const std::string out = home + "/repair.out";
    const double cpuBefore = childCpuMilliseconds();
    const Run run = spawnAndWait(
        KEYLOOM_EXECUTABLE, {app, "--repair-enabled-list", home + "/backup-" + std::to_string(i) + ".plist"},
        home, out);
    const std::string records = readFile(out);
    if (run.status != 0) {
      std::fprintf(stderr, "repair run failed (status %d):\n%s", run.status, records.c_str());
      return 1;
    }
    const bool refreshed = records.find("refresh-own-enabled-entries=1") != std::string::npos;
    const double waits = refreshed ? 3.5 : 3.0;
    beyond.push_back((run.seconds - waits) * 1e3);
    cpu.push_back(childCpuMilliseconds() - cpuBefore);
    cat.push_back(spawnAndWait("/bin/cat", {list}, home).seconds * 1e3);
    std::printf("  run %d: %.3f s total, %.3f ms beyond the %.1f s of waits, %.3f ms of CPU%s\n", i + 1,
                run.seconds, beyond.back(), waits, cpu.back(), refreshed ? " (refresh path)" : "");
  }
  std::printf("  median beyond the waits: %.3f ms (target: at most 20 ms); median CPU time: %.3f ms\n",
              median(beyond), median(cpu));
  std::printf("  cat of the %ju-byte list file, median: %.3f ms\n",
              static_cast<std::uintmax_t>(std::filesystem::file_size(list)), median(cat));
  std::filesystem::remove_all(home);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  const int repairs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (checkFormStart(rounds) != 0) return 1;
  return repairRun(repairs);
}
