#include "installer/run/log_reader.h"

#include <new>

#include "installer/text/utf8_decoder.h"
#include "platform/fs/read_file.h"

namespace sonarell::installer {

std::optional<QString> readLog(const std::string& path, std::size_t limit) noexcept {
  try {
    // A child the script left running may still append; the log is shown as it
    // stood when reading began rather than refused as changing.
    const auto read = fs::readRegularFile(path, limit, fs::Growth::Ignore);
    if (!read) return std::nullopt;
    return decodeUtf8(read.value());
  } catch (...) {
    // Decoding doubles the size in memory; running out of it is an unreadable
    // log, not the end of the installer.
    return std::nullopt;
  }
}

}  // namespace sonarell::installer
