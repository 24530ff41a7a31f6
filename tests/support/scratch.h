#pragma once

// Scratch space shared by the test programs: a throw-away folder, whole-file
// reads and writes, and environment variables set for a while.

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace sonarell::testsupport {

namespace fsys = std::filesystem;

// A new, empty folder (under `base`, the system's temporary folder by default),
// removed with everything in it when the object goes. Its path holds no
// symbolic link, since some code under test refuses paths through links.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "sonarell-test", const fsys::path& base = {}) {
    std::string pattern =
        ((base.empty() ? fsys::temp_directory_path() : base) / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = fsys::canonical(pattern);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code error;
    // Tests make folders read-only on purpose; give the owner its rights back first.
    for (auto it = fsys::recursive_directory_iterator(path_, fsys::directory_options::skip_permission_denied,
                                                      error);
         !error && it != fsys::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_directory(error) && !it->is_symlink(error)) {
        fsys::permissions(it->path(), fsys::perms::owner_all, fsys::perm_options::add, error);
      }
    }
    fsys::remove_all(path_, error);
  }

  const fsys::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  fsys::path operator/(const fsys::path& relative) const { return path_ / relative; }

 private:
  fsys::path path_;
};

// The whole file; a file that cannot be read fails the test through the exception.
inline std::string readFile(const fsys::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Creates the parent folders, then replaces the file's contents.
inline void writeFile(const fsys::path& path, const std::string& contents) {
  fsys::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

// An XML property-list document around the given body.
inline std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         body + "\n</plist>\n";
}

// The names in a folder, sorted; none when it does not exist.
inline std::vector<std::string> namesIn(const fsys::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fsys::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Sets or clears (nullptr) an environment variable, restoring the old value on exit.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace sonarell::testsupport
