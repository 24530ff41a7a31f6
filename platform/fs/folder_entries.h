#pragma once

// The names in a folder, for the tools that look for their own files in it.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/result/result.h"

namespace sonarell::fs {

// A folder holding more entries than this is refused rather than read into memory.
inline constexpr std::size_t kMaxFolderEntries = 100'000;

// Every name in the folder (links not followed, "." and ".." left out), in no
// particular order. A failure names the folder and the system's reason.
Result<std::vector<std::string>> folderEntries(const std::string& folder);

}  // namespace sonarell::fs
