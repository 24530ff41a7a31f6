#pragma once

// The XML form of property lists, read and written by the project's own code
// (libplist, used before, was slow on long lists and read malformed values such
// as an integer "12abc" or a date "garbage" as something else). Used through
// codec.h.

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/value.h"

namespace sonarell::plist::xml {

// Nesting of arrays and dictionaries deeper than this is refused.
inline constexpr int kMaxDepth = plist::kMaxDepth;

// The dates the XML form holds: whole seconds from 0001-01-01T00:00:00Z to
// 9999-12-31T23:59:59Z, as seconds since 2001.
inline constexpr double kFirstXmlDate = -63113904000.0;
inline constexpr double kLastXmlDate = 252423993599.0;

// None when the bytes are no well-formed XML property list of the eight kinds,
// or hold what write() could not write back unaltered: characters outside XML
// 1.0, a date outside the range above or with a fraction, a key held twice.
std::optional<Value> parse(std::string_view bytes);

// True when the bytes are UTF-8 of characters XML 1.0 allows: no control
// characters but tab, line feed and carriage return, no surrogates, no U+FFFE
// or U+FFFF. What the reader accepts and the writer writes.
bool onlyXmlCharacters(std::string_view bytes);

// The value as an XML property list in the layout the platform writes. None when
// a string or key cannot be carried by XML 1.0 (not UTF-8, control characters,
// U+FFFE, U+FFFF) or a date is not a whole second within the range above.
std::optional<std::string> write(const Value& value);

}  // namespace sonarell::plist::xml
