#pragma once

// Handing this process over to another program (execve), for the tools whose
// last step is another program that must inherit one descriptor (a lock).

#include <string>
#include <utility>
#include <vector>

#include "platform/fs/unique_fd.h"
#include "platform/result/result.h"

namespace sonarell::process {

// Replaces this process with `argv[0]` (an absolute path, no PATH search) run with `argv`, keeping
// the environment plus `setEnv` entries, with `keep` duplicated onto descriptor `asFd` and left open
// across the exec (every other descriptor of ours stays close-on-exec as it was). Returns only on
// failure, with the reason; the descriptor that was at `asFd` before is then back in place.
Failure replaceProcess(const std::vector<std::string>& argv, const fs::UniqueFd& keep, int asFd,
                       const std::vector<std::pair<std::string, std::string>>& setEnv);

}  // namespace sonarell::process
