#pragma once

// Bytes <-> Value. Reads XML and binary property lists (the binary form through
// libplist); writes XML.

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/value.h"

namespace sonarell::plist {

// None when the bytes are no property list in either form.
std::optional<Value> parse(std::string_view bytes);

// Reads and parses a whole file. None when it cannot be read or parsed.
std::optional<Value> readFile(const std::string& path);

// The value as an XML property list (UTF-8). None when XML cannot carry it (see xml.h).
std::optional<std::string> toXml(const Value& value);

}  // namespace sonarell::plist
