#pragma once

// What the property-list codec promises for every input it accepts, checked on whatever the fuzzer makes (and
// on the platform tests' tables): the value is written back in the form it was read in, reads back equal, and
// writing it again gives the same bytes (so nothing drifts that equality does not see, such as the sign of a
// zero). A value read from XML has a binary form too.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/plist/codec.h"

namespace sonarell::fuzz {

// The broken promise; empty when the bytes are refused or every promise holds.
inline std::string losslessFault(std::string_view bytes) {
  using namespace sonarell::plist;
  const std::optional<Parsed> parsed = parseWithFormat(bytes);
  if (!parsed) return {};
  const std::optional<std::string> written = serialize(parsed->value, parsed->format);
  if (!written) return "accepted, then refused on write";
  const std::optional<Parsed> again = parseWithFormat(*written);
  if (!again) return "written, then refused on read";
  if (again->format != parsed->format || !(again->value == parsed->value)) return "read back unequal";
  if (serialize(again->value, again->format) != written) return "written differently the second time";
  if (parsed->format == Format::Xml) {
    const std::optional<std::string> binary = serialize(parsed->value, Format::Binary);
    if (!binary) return "read from XML, refused in binary";
    const std::optional<Value> fromBinary = parse(*binary);
    if (!fromBinary || !(*fromBinary == parsed->value)) return "read from XML, unequal through binary";
  }
  return {};
}

// A broken promise aborts, which the fuzzer reports with the input.
inline void checkLossless(std::string_view bytes) {
  const std::string fault = losslessFault(bytes);
  if (fault.empty()) return;
  std::fprintf(stderr, "property-list codec not lossless: %s\n", fault.c_str());
  std::abort();
}

}  // namespace sonarell::fuzz
