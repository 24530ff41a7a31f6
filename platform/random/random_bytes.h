#pragma once

#include <cstdint>
#include <span>

namespace sonarell::random {

// Fills the buffer from the system's cryptographic random source. Should the
// source fail, the bytes still differ between processes and calls (mixed from the
// process id, the clock and an address), which is enough for names that are
// created exclusively anyway; never fails.
void fillRandomBytes(std::span<std::uint8_t> bytes);

}  // namespace sonarell::random
