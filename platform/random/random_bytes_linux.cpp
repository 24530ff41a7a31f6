#include "platform/random/random_bytes.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace sonarell::random {

void fillRandomBytes(std::span<std::uint8_t> bytes) {
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (got == bytes.size()) return;
  std::uint64_t seed =
      static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&bytes)) ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (std::size_t i = got; i < bytes.size(); ++i) {
    seed = seed * 6364136223846793005ull + 1;
    bytes[i] = static_cast<std::uint8_t>(seed >> 56);
  }
}

}  // namespace sonarell::random
