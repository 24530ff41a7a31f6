// The XML reader on arbitrary bytes, and the writer on whatever it accepts.

#include <cstddef>
#include <cstdint>

#include "fuzz/lossless.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.starts_with("bplist00")) return 0;  // the binary reader's input, fuzzed on its own
  sonarell::fuzz::checkLossless(bytes);
  return 0;
}
