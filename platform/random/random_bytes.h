#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace sonarell::random {

// Fills the buffer from the system's cryptographic random source. Should the
// source fail, the bytes still differ between processes and calls (mixed from the
// process id, the clock and an address), which is enough for names that are
// created exclusively anyway; never fails.
void fillRandomBytes(std::span<std::uint8_t> bytes);

// Six random letters or digits, for the hidden names of files and folders in the
// making.
inline std::string randomLettersAndDigits() {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::array<std::uint8_t, 6> bytes{};
  fillRandomBytes(bytes);
  std::string text;
  for (const std::uint8_t byte : bytes) text += kAlphabet[byte % (sizeof kAlphabet - 1)];
  return text;
}

}  // namespace sonarell::random
