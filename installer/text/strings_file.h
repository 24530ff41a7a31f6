#pragma once

// The text tables of a bundle's localisations (".strings" files): pairs
// "key" = "value"; with comments, in UTF-16 (with a byte-order mark) or UTF-8.
// The bytes come from a payload that anybody can have changed, so the reader
// takes any input: it never recurses, looks at each byte a bounded number of
// times, and answers "not a table" for anything it does not understand.

#include <QString>
#include <optional>
#include <string_view>

namespace sonarell::installer {

// The value of `key` in the table. None when the bytes are no well-formed table
// or the key is not in it. A key given without a value ("key";) maps to itself.
std::optional<QString> stringsTableValue(std::string_view bytes, const QString& key);

}  // namespace sonarell::installer
