#pragma once

// The requests to end the process (SIGTERM, SIGINT, SIGHUP) turned into bytes on
// a descriptor that an event loop can watch, the self-pipe way: the handler only
// writes the signal number, and the loop reads it on its own thread.

#include <memory>
#include <vector>

#include "platform/fs/unique_fd.h"

namespace sonarell::termination {

class TerminationSignals {
 public:
  // Installs the handlers. None when another instance is active (there is one
  // set of handlers per process) or the pipe cannot be made.
  static std::unique_ptr<TerminationSignals> install();

  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;
  // Restores the dispositions that were there before.
  ~TerminationSignals();

  // Readable when a signal has arrived.
  int fd() const { return readEnd_.get(); }

  // The signals received since the last call, in order of arrival. Never blocks.
  std::vector<int> takePending();

 private:
  TerminationSignals(fs::UniqueFd readEnd, fs::UniqueFd writeEnd);

  fs::UniqueFd readEnd_;
  fs::UniqueFd writeEnd_;
};

}  // namespace sonarell::termination
