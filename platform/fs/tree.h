#pragma once

// Whole trees of folders, files and symbolic links: compared, copied, removed and
// moved without ever replacing what is at the destination. Every walk is
// iterative and works relative to folder descriptors, so deep trees and long
// paths cost no recursion and no path lengths; trees deeper than
// kMaxTreeDepth folders are refused.

#include <optional>
#include <string>

#include "platform/result/result.h"

namespace sonarell::fs {

inline constexpr int kMaxTreeDepth = 256;

// The first difference between two trees, in words ("Contents/Resources/a.strings: the bytes differ",
// "x: a folder in one, a symbolic link in the other", "y: only in <b>", "a FIFO at z"), or none when
// they hold the same: the same names (any bytes, line breaks included), each of the same kind (folder,
// regular file, symbolic link), the same link texts and the same file bytes. Anything else (FIFO,
// socket, device) in either tree is a difference; so is anything that cannot be read (with the reason).
// The two roots are followed when they are links; nothing inside is. Modes and times do not count.
std::optional<std::string> treeDifference(const std::string& a, const std::string& b);

enum class CopyModes { Keep, OwnerWritable };
// Copies the tree `from` (the root followed when a link) to the new path `to` (nothing may be there;
// its parent must exist): folders, regular files (bytes, mode, modification time) and symbolic links
// as links; any other kind fails. Keep: every item keeps its mode, except that the top folder is
// made writable by its owner (so it can be moved later). OwnerWritable: every item gets u+w too (the
// installed copy is the user's own). Read-only source folders copy fine (modes set after filling).
// Then checks the copy with treeDifference. On any failure the partial copy is removed and the
// Failure says what failed and why; nothing is left at `to`.
Outcome copyTree(const std::string& from, const std::string& to, CopyModes modes);

// Removes a tree this program made, making its folders writable by the owner first where needed.
// A failure names what is still there.
Outcome removeTree(const std::string& path);

struct MovedTree {
  std::optional<std::string> leftover;  // the source's hidden name, if it could not be removed
};
// Moves the tree `from` to `to` without replacing anything at `to` (fails, changing nothing, when
// anything is there). Within one file system: one rename (RENAME_NOREPLACE where there is one; never
// a plain rename that could replace). Across file systems (EXDEV): copies to a hidden name beside
// `to` (".<name>.sonarell-copy-XXXXXX"), checks it equals the source, gives it the final name
// without replacing, then renames the source aside to ".<name>.sonarell-old-XXXXXX" beside it and
// removes that; a failure before the final name removes the partial copy and leaves the source as
// it was. A folder being moved to another folder must be writable by its owner (made so first).
Result<MovedTree> moveTree(const std::string& from, const std::string& to);

}  // namespace sonarell::fs
