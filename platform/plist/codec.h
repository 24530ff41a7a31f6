#pragma once

// Bytes <-> Value, in both forms of property lists (xml.h, binary.h). Lossless:
// whatever a reader accepts, the writer of the same form writes back to an
// equal value.

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/value.h"

namespace sonarell::plist {

// The two forms a property-list file can take.
enum class Format { Xml, Binary };

struct Parsed {
  Value value;
  Format format;
};

// None when the bytes are no property list in either form.
std::optional<Value> parse(std::string_view bytes);
// The same, with the form the bytes were in, so that a file can be written back
// in the form it had.
std::optional<Parsed> parseWithFormat(std::string_view bytes);

// The value in the given form. None when that form cannot carry it unaltered.
std::optional<std::string> serialize(const Value& value, Format format);

// Reads and parses a whole file. None when it cannot be read or parsed.
std::optional<Value> readFile(const std::string& path);

// The value as an XML property list (UTF-8). None when XML cannot carry it (see xml.h).
std::optional<std::string> toXml(const Value& value);

}  // namespace sonarell::plist
