// The binary reader on arbitrary bytes behind its header, and the writer on whatever it accepts.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/lossless.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The header is fixed, so mutations spent on it would be wasted.
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.size() >= 8) bytes.replace(0, 8, "bplist00");
  sonarell::fuzz::checkLossless(bytes);
  return 0;
}
