#pragma once

// A file made under a temporary name, removed when the object goes unless it was
// handed over (renamed into place, then released), so that no failure path
// leaves one behind. Removal keeps errno, so a caller can still report why the
// step before failed.

#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace sonarell::fs {

class TemporaryFile {
 public:
  TemporaryFile() = default;
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (path_.empty()) return;
    const int saved = errno;
    ::unlink(path_.c_str());
    errno = saved;
  }
  void own(std::string path) { path_ = std::move(path); }
  void release() { path_.clear(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace sonarell::fs
