#include "tests/support/road_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <system_error>

#include "platform/fs/unique_fd.h"

namespace sonarell::road {

fsys::path buildDir() { return SONARELL_ROAD_BUILD_DIR; }
fsys::path sourceDir() { return SONARELL_ROAD_SOURCE_DIR; }

void copyTree(const fsys::path& from, const fsys::path& to) {
  fsys::create_directories(to.parent_path());
  fsys::copy(from, to, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
}

std::map<std::string, std::string> snapshot(const fsys::path& root) {
  std::map<std::string, std::string> result;
  if (!fsys::is_directory(root)) return result;
  for (const auto& entry : fsys::recursive_directory_iterator(root)) {
    const std::string key = fsys::relative(entry.path(), root).string();
    if (entry.is_symlink()) {
      result[key] = "link:" + fsys::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      result[key] = "dir";
    } else {
      result[key] = "file:" + readFile(entry.path());
    }
  }
  return result;
}

bool sameTree(const fsys::path& a, const fsys::path& b) {
  if (fsys::is_symlink(a) || fsys::is_symlink(b)) {
    return fsys::is_symlink(a) && fsys::is_symlink(b) && fsys::read_symlink(a) == fsys::read_symlink(b);
  }
  return fsys::is_directory(a) && fsys::is_directory(b) && snapshot(a) == snapshot(b);
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

bool waitForInputMethodToEnd(const fsys::path& home) {
  const fsys::path lock = home / "Library/Caches/org.quennet.inputmethod.Sonarell/instance.lock";
  return eventually(
      [&] {
        fs::UniqueFd fd(::open(lock.c_str(), O_RDWR | O_CLOEXEC));
        return !fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
      },
      std::chrono::seconds(20));
}

}  // namespace sonarell::road
