#include "installer/run/log_file.h"

#include <array>
#include <cstdint>

#include "platform/fs/file_access.h"
#include "platform/random/random_bytes.h"

namespace sonarell::installer {

Result<void, InstallerError> createFolder(const std::string& folder) {
  if (auto made = fs::makeFolders(folder); !made) return folderError(made.error().path, made.error().error);
  return {};
}

std::string newUuid() {
  std::array<std::uint8_t, 16> b{};
  random::fillRandomBytes(b);
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

Result<void, InstallerError> createEmptyFile(const std::string& path) {
  if (auto created = fs::createEmptyFile(path); !created) return fileWriteError(path, created.error().error);
  return {};
}

Result<fs::UniqueFd, InstallerError> openForWriting(const std::string& path) {
  auto opened = fs::openExistingForWriting(path);
  if (!opened) return openError(path, opened.error().error);
  return std::move(opened).value();
}

}  // namespace sonarell::installer
