#pragma once

// Reading a run's log back once its script has ended: the whole file, decoded as
// UTF-8 with repair. Runs off the main thread.

#include <QString>
#include <cstddef>
#include <optional>
#include <string>

namespace sonarell::installer {

// The largest log that is read back: 256 MiB, which decodes to at most 512 MiB
// of text (and the view shares that text rather than copying it). A log beyond
// that is not something a person reads in a window, and reading it could take
// the installer's memory with it, so it is reported as unreadable instead.
inline constexpr std::size_t kLogReadLimit = std::size_t{256} << 20;

// The log as it stood when reading began: a background child of the script may
// still be appending to it, and what it adds later is not read. None when the
// file cannot be read: gone, no rights, not a regular file (a FIFO, a device, a
// folder), larger than `limit`, shrunk while it was read, or too large for
// memory. Never blocks on the file and never throws.
std::optional<QString> readLog(const std::string& path, std::size_t limit = kLogReadLimit) noexcept;

}  // namespace sonarell::installer
