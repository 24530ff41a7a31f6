#pragma once

// The binary form of property lists ("bplist00"), read and written by the
// project's own code: a header, the objects, a table of their offsets and a
// 32-byte trailer. libplist, used before, aborted the process on a string
// holding U+0000, kept dates as 32-bit seconds and integers above INT64_MAX as
// negative ones, and expanded shared objects without limit; this reader holds
// the format's whole value range and stays bounded on any input. Used through
// codec.h.

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/value.h"

namespace sonarell::plist::binary {

inline constexpr std::string_view kMagic = "bplist00";

// None when the bytes are no binary property list of the eight kinds, when
// they nest deeper than kMaxDepth, refer to an object from inside itself,
// hold a key twice, a string that is no text, or would expand (through objects
// referred to from several places) beyond a bound proportional to their size.
// UIDs, sets and the format's other kinds are refused too.
std::optional<Value> parse(std::string_view bytes);

// The value in the binary form; none when a string is not UTF-8 or the value
// nests deeper than the readers accept.
std::optional<std::string> write(const Value& value);

}  // namespace sonarell::plist::binary
