#pragma once

// UTF-8 to UTF-16 with repair: every ill-formed sequence becomes one U+FFFD, by the
// "maximal subpart" rule (a lead byte and the continuation bytes that are still
// valid for it count as one sequence; a byte that can never start one counts
// alone), so that a stray byte costs one character and never swallows the valid
// text after it.

#include <QString>
#include <string_view>

namespace sonarell::installer {

QString decodeUtf8(std::string_view bytes);

}  // namespace sonarell::installer
