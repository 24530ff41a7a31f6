#pragma once

// Reading a whole file that someone else wrote, into memory, with ordinary reads.
// The file is treated as hostile: only a regular file is read (a FIFO, a device or
// a socket is refused at once, never waited on), its size is bounded, and a file
// that shrinks while it is read is refused rather than half read (one that grows
// too, unless the caller asks for the file as it stood when reading began). Nothing is
// ever mapped, so a file that shrinks underneath cannot bring the process down.

#include <cstddef>
#include <string>

#include "platform/result/result.h"

namespace sonarell::fs {

struct ReadFileError {
  enum class Kind {
    Open,        // could not be opened (gone, no rights); errno in `posixError`
    NotRegular,  // a folder, FIFO, device, socket...
    TooLarge,    // larger than the caller's limit
    NoMemory,    // the buffer could not be allocated
    Read,        // a read failed; errno in `posixError`
    Changed,     // shrank or grew while it was read
  };
  Kind kind = Kind::Open;
  int posixError = 0;
};

// What a file that grows while it is read gives.
enum class Growth {
  Refuse,  // Changed: what was read would be a prefix of something else
  Ignore,  // the file as it stood when reading began (a log still appended to)
};

// Reads the whole regular file at `path` (links followed), at most `maxBytes`.
// The bytes, or what kept them from being read.
Result<std::string, ReadFileError> readRegularFile(const std::string& path, std::size_t maxBytes,
                                                   Growth growth = Growth::Refuse);

}  // namespace sonarell::fs
