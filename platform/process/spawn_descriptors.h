#pragma once

// The one part of starting a child that has no POSIX call: leaving the child its
// three standard streams and no other descriptor of the parent's.

#include <spawn.h>

namespace sonarell::process {

// Adds to `actions` (after the ones that set up descriptors 0, 1 and 2) what
// closes every other descriptor in the child, or sets the spawn flag that does;
// `flags` are the posix_spawnattr flags the caller sets afterwards. 0 or an errno
// value, as the posix_spawn calls return.
int closeOtherDescriptors(posix_spawn_file_actions_t* actions, short& flags);

}  // namespace sonarell::process
