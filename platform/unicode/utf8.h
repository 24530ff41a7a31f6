#pragma once

// UTF-8, strictly: the shortest form of Unicode scalar values only (no surrogates,
// nothing beyond U+10FFFF, no sequence cut short). Shared by the property-list
// readers and writers and the path checks, which must agree on what text is.

#include <optional>
#include <string>
#include <string_view>

namespace sonarell::unicode {

// Decodes the sequence at `p` (which must be before `end`) and moves `p` past it;
// none, with `p` unchanged, when the bytes there are not well-formed UTF-8.
std::optional<char32_t> decodeUtf8(const unsigned char*& p, const unsigned char* end);

// Appends the UTF-8 form of a scalar value.
void appendUtf8(std::string& out, char32_t cp);

bool isValidUtf8(std::string_view bytes);

}  // namespace sonarell::unicode
