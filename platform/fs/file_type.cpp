#include "platform/fs/file_type.h"

#include <sys/stat.h>

#include <cerrno>

namespace sonarell::fs {

FileType fileTypeAt(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) return FileType::None;
  if (S_ISDIR(st.st_mode)) return FileType::Directory;
  if (S_ISREG(st.st_mode)) return FileType::Regular;
  if (S_ISLNK(st.st_mode)) return FileType::SymbolicLink;
  return FileType::Other;
}

bool existsFollowingLinks(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool nothingAt(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace sonarell::fs
