#pragma once

// The XML form of property lists, read and written by the project's own code:
// libplist's XML reader and writer dominate the cost of every preference access
// on long lists, and its reader accepts malformed values (an integer "12abc", a
// date "garbage", broken base64) as something else. Used through codec.h.

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/value.h"

namespace sonarell::plist::xml {

// Nesting of arrays and dictionaries deeper than this is refused.
inline constexpr int kMaxDepth = 512;

// None when the bytes are no well-formed XML property list of the eight kinds.
std::optional<Value> parse(std::string_view bytes);

// The value as an XML property list in the layout the platform writes. None when
// a string or key cannot be carried by XML 1.0 (not UTF-8, control characters,
// NUL in a key) or a date lies outside what the format stores.
std::optional<std::string> write(const Value& value);

}  // namespace sonarell::plist::xml
