#pragma once

// A child process started with posix_spawn: exact argument vector, an environment
// that replaces the parent's entirely, a working directory, and one descriptor
// serving as both standard output and standard error; no other descriptor of the
// parent reaches the child. Its end is observed on a watcher thread of its own,
// which always reaps it, so no child is left a zombie whatever happens to the
// object that started it.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/result/result.h"

namespace sonarell::process {

struct LaunchConfiguration {
  std::string executable;                // absolute path; also the child's argv[0]
  std::vector<std::string> arguments;    // argv[1...]
  std::vector<std::string> environment;  // "NAME=value" entries, the child's whole environment
  std::string workingDirectory;          // empty: the parent's
  int outputFd = -1;                     // dup'ed onto 1 and 2; -1 keeps the parent's streams
  bool detached = false;                 // new session, standard streams on /dev/null
  int errorFd = -1;                      // with outputFd: dup'ed onto 2 instead (kept last for the
                                         // callers that initialise the fields in order)
};

// Why a child could not be started.
struct StartError {
  int posixError = 0;  // errno: ENOENT, EACCES, ENOMEM when out of memory, ...
};

// How the child ended. `code` is the exit status, or 128 + the signal number
// for a child killed by a signal, so a signal always reads as failure.
struct Termination {
  int code = 0;
  bool signaled = false;
  int signal = 0;
};

class ChildProcess {
 public:
  // Runs once, on the watcher thread, after the child has ended and was reaped.
  using TerminationHandler = std::function<void(const Termination&)>;

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Joins the watcher when it is done; otherwise lets it finish on its own
  // (it owns everything it touches), so destroying a running child's object
  // never blocks and never leaves a zombie.
  ~ChildProcess();

  // The started child, or why it could not be started; on failure the handler is
  // destroyed without being called. Never throws: running out of memory is a
  // failed start (ENOMEM).
  static Result<std::unique_ptr<ChildProcess>, StartError> start(const LaunchConfiguration& configuration,
                                                                 TerminationHandler handler) noexcept;

  pid_t pid() const { return pid_; }
  // True once the child has been reaped.
  bool ended() const;

 private:
  struct Shared;
  ChildProcess(pid_t pid, std::shared_ptr<Shared> shared);

  pid_t pid_;
  std::shared_ptr<Shared> shared_;
};

// Starts the child and blocks until it has ended and was reaped, for callers
// with nothing else to do meanwhile (tests, benchmarks, one-shot tools): how it
// ended, or why it could not be started.
Result<Termination, StartError> runToEnd(const LaunchConfiguration& configuration) noexcept;

// Decodes a waitpid status into a Termination.
Termination terminationFromStatus(int status);

}  // namespace sonarell::process
