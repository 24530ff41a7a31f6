#include "platform/memory/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace sonarell::memory {

void preferHugePages(void* data, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = 2u << 20;
  if (bytes < 4 * kHuge) return;
  // madvise wants whole pages: only the huge pages lying wholly inside the buffer.
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace sonarell::memory
