#include "platform/plist/codec.h"

#include <cstdint>
#include <limits>

#include "platform/fs/read_file.h"
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
      return Parsed{std::move(*value), Format::Binary};
    }
    auto value = xml::parse(bytes);
    if (!value) return std::nullopt;
    return Parsed{std::move(*value), Format::Xml};
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
    return format == Format::Binary ? binary::write(value) : xml::write(value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<Value> readFile(const std::string& path) {
  // Regular files only, opened without blocking: a FIFO or a device at the path
  // must not stop the reader. Nothing larger than parse takes is read.
  auto bytes = fs::readRegularFile(path, std::numeric_limits<std::uint32_t>::max());
  if (!bytes) return std::nullopt;
  return parse(bytes.value());
}

std::optional<std::string> toXml(const Value& value) { return serialize(value, Format::Xml); }

}  // namespace sonarell::plist
