#pragma once

namespace sonarell::runloop {

class RunLoop {
 public:
  virtual ~RunLoop() = default;
  // Runs the current thread's loop for about the given time.
  virtual void runFor(double seconds) = 0;
};

}  // namespace sonarell::runloop
