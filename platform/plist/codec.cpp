#include "platform/plist/codec.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <limits>

#include "platform/fs/unique_fd.h"
#include "platform/plist/binary.h"
#include "platform/plist/xml.h"

namespace sonarell::plist {

std::optional<Parsed> parseWithFormat(std::string_view bytes) {
  // Offsets and counts are kept in 64 bits and dictionary positions in 32; no
  // property list comes near this size.
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  try {
    if (bytes.starts_with(binary::kMagic)) {
      auto value = binary::parse(bytes);
      if (!value) return std::nullopt;
      return Parsed{std::move(*value), Format::kBinary};
    }
    auto value = xml::parse(bytes);
    if (!value) return std::nullopt;
    return Parsed{std::move(*value), Format::kXml};
  } catch (const std::exception&) {
    // Out of memory (or the XML parser's own failure) refuses the input like
    // any other fault in it.
    return std::nullopt;
  }
}

std::optional<Value> parse(std::string_view bytes) {
  auto parsed = parseWithFormat(bytes);
  if (!parsed) return std::nullopt;
  return std::move(parsed->value);
}

std::optional<std::string> serialize(const Value& value, Format format) {
  try {
    return format == Format::kBinary ? binary::write(value) : xml::write(value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<Value> readFile(const std::string& path) {
  // Non-blocking and regular files only: a FIFO or a device at the path must
  // not stop the reader.
  fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  auto bytes = fs::readAll(fd.get());
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

std::optional<std::string> toXml(const Value& value) { return serialize(value, Format::kXml); }

}  // namespace sonarell::plist
