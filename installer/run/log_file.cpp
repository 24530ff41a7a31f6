#include "installer/run/log_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

namespace sonarell::installer {

std::optional<InstallerError> createFolder(const std::string& folder) {
  if (folder.empty()) return folderError(folder, ENOENT);
  // Walk down from the top, creating what is missing, so that the error names
  // the folder that really could not be made.
  std::size_t pos = folder.front() == '/' ? 1 : 0;
  while (pos <= folder.size()) {
    std::size_t next = folder.find('/', pos);
    if (next == std::string::npos) next = folder.size();
    if (next > pos) {
      const std::string prefix = folder.substr(0, next);
      if (::mkdir(prefix.c_str(), 0777) != 0) {
        const int error = errno;
        struct stat st {};
        if (error != EEXIST) return folderError(prefix, error);
        if (::stat(prefix.c_str(), &st) != 0) return folderError(prefix, errno);
        if (!S_ISDIR(st.st_mode)) return folderError(prefix, EEXIST);
      }
    }
    pos = next + 1;
  }
  return std::nullopt;
}

std::string newUuid() {
  std::array<std::uint8_t, 16> b{};
  std::size_t got = 0;
  while (got < b.size()) {
    const ssize_t n = ::getrandom(b.data() + got, b.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (got < b.size()) {
    // No kernel randomness: still unique enough for a file name that is created exclusively.
    std::uint64_t seed = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                         static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&b));
    for (auto& byte : b) byte = static_cast<std::uint8_t>((seed = seed * 6364136223846793005ull + 1) >> 56);
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
    s.push_back(kHex[b[i] >> 4]);
    s.push_back(kHex[b[i] & 0x0F]);
  }
  return s;
}

std::optional<InstallerError> createEmptyFile(const std::string& path) {
  fs::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) return fileWriteError(path, errno);
  if (!fd.close()) return fileWriteError(path, errno);
  return std::nullopt;
}

std::variant<fs::UniqueFd, InstallerError> openForWriting(const std::string& path) {
  fs::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return openError(path, errno);
  return fd;
}

std::optional<std::string> readWholeFile(const std::string& path) {
  fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  std::string bytes;
  // Size the buffer from the file, but keep reading to the end: something may
  // still be appending (a background process the script left behind).
  std::size_t capacity = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 65536;
  bytes.resize(capacity);
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

}  // namespace sonarell::installer
