#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/fs/file_access.h"
#include "platform/result/result.h"

namespace sonarell::fs {

// Creates a new file at the path holding exactly the bytes, flushed to disk, or
// nothing at all: the bytes go to a temporary file beside it first, named
// ".<name>.keyloom-" and six random letters or digits (a hidden name nobody takes
// for the file itself), which is flushed and only then given the final name,
// without ever replacing anything. Fails, leaving whatever is at the path
// untouched, when anything is there already (a dangling symbolic link too); every
// failure removes the temporary file. A process killed mid-way may leave that
// temporary file, never a partial file under the final name. `beforeRename`, for
// tests, runs between the flush and the rename: where another writer's file is
// hardest to notice. An error names the item that failed (the path, or the
// temporary file) and carries errno: EEXIST when something is at the path, EINVAL
// for a path that names no file.
Result<void, PathError> writeNewFile(const std::string& path, std::string_view bytes,
                                     const std::function<void()>& beforeRename = {});

}  // namespace sonarell::fs
