#pragma once

#include "platform/runloop/run_loop.h"

namespace sonarell::runloop {

// The tool's waits have no sources to serve on Linux, so running the loop for a
// while is a plain sleep of the whole duration, resumed when a signal cuts it short.
class TimedRunLoop final : public RunLoop {
 public:
  void runFor(double seconds) override;
};

}  // namespace sonarell::runloop
