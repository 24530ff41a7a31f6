#include "platform/process/spawn_descriptors.h"

namespace sonarell::process {

// glibc's extension (2.34 and later), run after the dup2s already added.
int closeOtherDescriptors(posix_spawn_file_actions_t* actions, short& /*flags*/) {
  return posix_spawn_file_actions_addclosefrom_np(actions, 3);
}

}  // namespace sonarell::process
