#include "platform/fs/folder_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace sonarell::fs {

Result<std::vector<std::string>> folderEntries(const std::string& folder) {
  const auto failure = [&](int error) {
    return Failure{"cannot read the folder " + folder + ": " + std::strerror(error)};
  };
  // O_NOFOLLOW is not used: a link to the folder names the folder.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return failure(errno);
  struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  const std::unique_ptr<DIR, CloseDir> dir(::fdopendir(fd));
  if (!dir) {
    const int error = errno;
    ::close(fd);
    return failure(error);
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return failure(errno);
      return names;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    if (names.size() == kMaxFolderEntries) {
      return Failure{"the folder " + folder + " holds more than " + std::to_string(kMaxFolderEntries) +
                     " entries"};
    }
    names.emplace_back(name);
  }
}

}  // namespace sonarell::fs
