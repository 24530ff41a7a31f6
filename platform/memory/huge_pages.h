#pragma once

// Memory hints for large buffers.

#include <cstddef>

namespace sonarell::memory {

// A fresh buffer of many megabytes costs one page fault per page when it is
// first written, which for a large log takes longer than filling it. Asks the
// system to back the buffer with huge pages; only a hint, which it may ignore,
// and one that does nothing for buffers of a few megabytes.
void preferHugePages(void* data, std::size_t bytes) noexcept;

}  // namespace sonarell::memory
