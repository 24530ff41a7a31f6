#pragma once

// What the property-list codec promises for every input it accepts, checked on
// whatever the fuzzer makes: the value is written back in the form it was read
// in, reads back equal, and writing it again gives the same bytes (so nothing
// drifts that equality does not see, such as the sign of a zero). A value read
// from XML has a binary form too. A broken promise aborts, which the fuzzer
// reports with the input.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/plist/codec.h"

namespace sonarell::fuzz {

[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "property-list codec not lossless: %s\n", what);
  std::abort();
}

inline void checkLossless(std::string_view bytes) {
  using namespace sonarell::plist;
  const std::optional<Parsed> parsed = parseWithFormat(bytes);
  if (!parsed) return;
  const std::optional<std::string> written = serialize(parsed->value, parsed->format);
  if (!written) broken("accepted, then refused on write");
  const std::optional<Parsed> again = parseWithFormat(*written);
  if (!again) broken("written, then refused on read");
  if (again->format != parsed->format || !(again->value == parsed->value)) broken("read back unequal");
  if (serialize(again->value, again->format) != written) broken("written differently the second time");
  if (parsed->format == Format::kXml) {
    const std::optional<std::string> binary = serialize(parsed->value, Format::kBinary);
    if (!binary) broken("read from XML, refused in binary");
    const std::optional<Value> fromBinary = parse(*binary);
    if (!fromBinary || !(*fromBinary == parsed->value)) broken("read from XML, unequal through binary");
  }
}

}  // namespace sonarell::fuzz
