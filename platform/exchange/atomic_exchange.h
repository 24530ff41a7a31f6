#pragma once

namespace sonarell::exchange {

// Swaps two directory entries in one atomic step. 0 on success; otherwise
// non-zero with errno set, and nothing has moved.
int exchangePaths(const char* from, const char* to);

}  // namespace sonarell::exchange
