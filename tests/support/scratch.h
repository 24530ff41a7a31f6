#pragma once

// Scratch space for the test programs: a throw-away folder, whole files, whole
// trees copied and compared, environment variables set for a while.

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace sonarell::test {

namespace fsys = std::filesystem;

// A new, empty folder (under `base`, the system's temporary folder by default),
// removed with everything in it when the object goes. Its path holds no
// symbolic link, since some code under test refuses paths through links.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "sonarell-test", const fsys::path& base = {}) {
    std::string pattern =
        ((base.empty() ? fsys::temp_directory_path() : base) / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = fsys::canonical(pattern);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code error;
    // Tests make folders read-only on purpose; give the owner its rights back first.
    for (fsys::recursive_directory_iterator it(path_, error), end; !error && it != end; it.increment(error)) {
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
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Creates the parent folders, then replaces the file's contents.
inline void writeFile(const fsys::path& path, const std::string& contents) {
  fsys::create_directories(path.parent_path());
  if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << contents).flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

// An XML property-list document around the given body.
inline std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n" +
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

// Copies a file, folder or link as it is (links stay links), making the parent folders.
inline void copyTree(const fsys::path& from, const fsys::path& to) {
  fsys::create_directories(to.parent_path());
  fsys::copy(from, to, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
}

// Every path below the folder `root` with its type and, for files, contents.
inline std::map<std::string, std::string> snapshot(const fsys::path& root) {
  std::map<std::string, std::string> result;
  std::error_code missing;
  for (fsys::recursive_directory_iterator it(root, missing), end; it != end; ++it) {
    const fsys::path& path = it->path();
    result[fsys::relative(path, root).string()] = it->is_symlink()
                                                      ? "link:" + fsys::read_symlink(path).string()
                                                  : it->is_directory() ? "dir"
                                                                       : "file:" + readFile(path);
  }
  return result;
}

// True when both are folders holding the same names, types and file contents,
// or both links to the same place.
inline bool sameTree(const fsys::path& a, const fsys::path& b) {
  if (fsys::is_symlink(a) || fsys::is_symlink(b)) {
    return fsys::is_symlink(a) && fsys::is_symlink(b) && fsys::read_symlink(a) == fsys::read_symlink(b);
  }
  return fsys::is_directory(a) && fsys::is_directory(b) && snapshot(a) == snapshot(b);
}

// Sets or clears (nullptr) an environment variable, restoring the old value on exit.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const char* value) const { value ? ::setenv(name_.c_str(), value, 1) : ::unsetenv(name_.c_str()); }
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace sonarell::test
