#pragma once

#include <string>
#include <string_view>

namespace sonarell::fs {

// Creates a new file at the path and writes the bytes, flushed to disk. Fails,
// touching nothing, when anything already exists at the path; a failed write
// removes the partial file it created.
bool writeNewFile(const std::string& path, std::string_view bytes);

}  // namespace sonarell::fs
