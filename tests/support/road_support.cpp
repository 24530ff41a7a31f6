#include "tests/support/road_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/fs/unique_fd.h"

extern char** environ;

namespace sonarell::road {

fsys::path buildDir() { return SONARELL_ROAD_BUILD_DIR; }
fsys::path sourceDir() { return SONARELL_ROAD_SOURCE_DIR; }

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (fsys::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  // The exchange refuses paths through symbolic links, so the home must be real.
  path_ = fsys::canonical(pattern);
}

TempDir::~TempDir() {
  std::error_code error;
  // Tests make folders read-only on purpose; give the owner back its rights first.
  for (auto it =
           fsys::recursive_directory_iterator(path_, fsys::directory_options::skip_permission_denied, error);
       !error && it != fsys::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      fsys::permissions(it->path(), fsys::perms::owner_all, fsys::perm_options::add, error);
    }
  }
  fsys::remove_all(path_, error);
}

std::string readFile(const fsys::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fsys::path& path, const std::string& contents) {
  fsys::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

void copyTree(const fsys::path& from, const fsys::path& to) {
  fsys::create_directories(to.parent_path());
  fsys::copy(from, to, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
}

bool sameTree(const fsys::path& a, const fsys::path& b) {
  std::error_code error;
  if (fsys::is_symlink(a) || fsys::is_symlink(b)) {
    return fsys::is_symlink(a) && fsys::is_symlink(b) && fsys::read_symlink(a) == fsys::read_symlink(b);
  }
  if (fsys::is_directory(a) != fsys::is_directory(b)) {
    return false;
  }
  if (!fsys::is_directory(a)) {
    return fsys::is_regular_file(a) && fsys::is_regular_file(b) && readFile(a) == readFile(b);
  }
  std::vector<std::string> namesA;
  std::vector<std::string> namesB;
  for (const auto& entry : fsys::directory_iterator(a)) namesA.push_back(entry.path().filename().string());
  for (const auto& entry : fsys::directory_iterator(b)) namesB.push_back(entry.path().filename().string());
  std::sort(namesA.begin(), namesA.end());
  std::sort(namesB.begin(), namesB.end());
  if (namesA != namesB) {
    return false;
  }
  for (const auto& name : namesA) {
    if (!sameTree(a / name, b / name)) {
      return false;
    }
  }
  return true;
}

void makeBundle(const fsys::path& app, const std::string& identifier, const std::string& version) {
  writeFile(app / "Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n<dict>\n"
            "\t<key>CFBundleIdentifier</key>\n\t<string>" +
                identifier +
                "</string>\n"
                "\t<key>CFBundleShortVersionString</key>\n\t<string>" +
                version + "</string>\n</dict>\n</plist>\n");
}

void setBundleVersion(const fsys::path& app, const std::string& version) {
  const fsys::path info = app / "Contents/Info.plist";
  static const std::regex pattern(
      "(<key>(CFBundleShortVersionString|CFBundleVersion)</key>\\s*<string>)[^<]*(</string>)");
  writeFile(info, std::regex_replace(readFile(info), pattern, "$01" + version + "$03"));
}

std::string bundleVersion(const fsys::path& app) {
  static const std::regex pattern("<key>CFBundleShortVersionString</key>\\s*<string>([^<]*)</string>");
  std::smatch match;
  const std::string info = readFile(app / "Contents/Info.plist");
  return std::regex_search(info, match, pattern) ? match[1].str() : std::string();
}

std::string hiToolboxPlist(const std::vector<std::string>& enabledSources) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n"
      "\t<key>AppleCurrentKeyboardLayoutInputSourceID</key>\n\t<string>com.apple.keylayout.ABC</string>\n"
      "\t<key>AppleEnabledInputSources</key>\n\t<array>\n";
  for (const auto& element : enabledSources) {
    xml += "\t\t" + element + "\n";
  }
  xml += "\t</array>\n</dict>\n</plist>\n";
  return xml;
}

std::vector<std::string> foreignEnabledSources() {
  return {
      "<dict><key>InputSourceKind</key><string>Keyboard Layout</string>"
      "<key>KeyboardLayout ID</key><integer>252</integer>"
      "<key>KeyboardLayout Name</key><string>ABC</string></dict>",
      "<dict><key>Bundle ID</key><string>com.apple.inputmethod.SCIM</string>"
      "<key>InputSourceKind</key><string>Keyboard Input Method</string></dict>",
      "<dict><key>Bundle ID</key><string>com.apple.inputmethod.SCIM</string>"
      "<key>Input Mode</key><string>com.apple.inputmethod.SCIM.ITABC</string>"
      "<key>InputSourceKind</key><string>Input Mode</string></dict>",
  };
}

fsys::path hiToolboxPath(const fsys::path& home) {
  return home / "Library/Preferences/com.apple.HIToolbox.plist";
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
              const fsys::path& cwd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  fs::UniqueFd readEnd(fds[0]);
  fs::UniqueFd writeEnd(fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
  }
  writeEnd.reset();

  RunResult result;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

SessionBus::SessionBus() {
  if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    previous_ = old;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return;
  }
  fs::UniqueFd readEnd(fds[0]);
  fs::UniqueFd writeEnd(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {"/usr/bin/dbus-daemon", "--session",         "--nofork",
                        "--nopidfile",          "--print-address=3", nullptr};
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return;
  }
  writeEnd.reset();
  std::string line;
  pollfd pfd{readEnd.get(), POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&pfd, 1, 10000) > 0) {
    char buffer[512];
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  if (const auto end = line.find('\n'); end != std::string::npos) {
    address_ = line.substr(0, end);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
}

SessionBus::~SessionBus() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (previous_) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", previous_->c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) {
    previous_ = old;
  }
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace sonarell::road
