#pragma once

#include <string>

namespace sonarell::fs {

enum class FileType { None, Directory, Regular, SymbolicLink, Other };

// The type of the item at the path itself (a link is not followed); None when
// nothing is there or its attributes cannot be read.
FileType fileTypeAt(const std::string& path);

bool existsFollowingLinks(const std::string& path);

// Nothing at all is at the path (not even a dangling link), as opposed to
// something whose attributes cannot be read.
bool nothingAt(const std::string& path);

}  // namespace sonarell::fs
