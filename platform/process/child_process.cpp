#include "platform/process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <system_error>
#include <thread>

#include "platform/process/spawn_descriptors.h"

namespace sonarell::process {

struct ChildProcess::Shared {
  std::thread watcher;
  std::atomic<bool> reaped{false};
  std::atomic<bool> done{false};
};

namespace {

// posix_spawn's C structures, released on every path.
class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
  result.push_back(nullptr);
  return result;
}

int prepare(const LaunchConfiguration& configuration, SpawnActions& actions, SpawnAttributes& attributes) {
  if (!actions.ok() || !attributes.ok()) return ENOMEM;
  int rc = 0;
  if (configuration.detached) {
    for (int fd : {0, 1, 2}) {
      const int flags = fd == 0 ? O_RDONLY : O_WRONLY;
      if ((rc = posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null", flags, 0)) != 0) return rc;
    }
  } else if (configuration.outputFd >= 0) {
    if ((rc = posix_spawn_file_actions_adddup2(actions.get(), configuration.outputFd, 1)) != 0) return rc;
    const int errorFd = configuration.errorFd >= 0 ? configuration.errorFd : configuration.outputFd;
    if ((rc = posix_spawn_file_actions_adddup2(actions.get(), errorFd, 2)) != 0) return rc;
  }
  // The child gets its three standard streams and nothing else, as a launched
  // task does on macOS: any other descriptor the parent holds (a pipe of whoever
  // started it, a lock, a socket) would otherwise stay open as long as the child
  // and every process it starts live. This runs after the dup2s above.
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if ((rc = closeOtherDescriptors(actions.get(), flags)) != 0) return rc;
  if (!configuration.workingDirectory.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(actions.get(), configuration.workingDirectory.c_str());
    if (rc != 0) return rc;
  }
  // The child starts with an empty signal mask and default dispositions: whatever
  // the parent ignores or blocks (SIGPIPE, the quit signals) must not leak into it.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  if (configuration.detached) flags |= POSIX_SPAWN_SETSID;
  if ((rc = posix_spawnattr_setsigmask(attributes.get(), &none)) != 0) return rc;
  if ((rc = posix_spawnattr_setsigdefault(attributes.get(), &all)) != 0) return rc;
  return posix_spawnattr_setflags(attributes.get(), flags);
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

Termination terminationFromStatus(int status) {
  Termination t;
  if (WIFSIGNALED(status)) {
    t.signaled = true;
    t.signal = WTERMSIG(status);
    t.code = 128 + t.signal;
  } else if (WIFEXITED(status)) {
    t.code = WEXITSTATUS(status);
  } else {
    t.code = 1;
  }
  return t;
}

ChildProcess::ChildProcess(pid_t pid, std::shared_ptr<Shared> shared)
    : pid_(pid), shared_(std::move(shared)) {}

ChildProcess::~ChildProcess() {
  if (!shared_->watcher.joinable()) return;
  if (shared_->done.load()) {
    shared_->watcher.join();
  } else {
    shared_->watcher.detach();
  }
}

bool ChildProcess::ended() const { return shared_->reaped.load(); }

Result<std::unique_ptr<ChildProcess>, StartError> ChildProcess::start(
    const LaunchConfiguration& configuration, TerminationHandler handler) noexcept {
  // Everything that allocates happens before the child exists, so that running
  // out of memory is a failed start and never an unwatched child.
  std::unique_ptr<ChildProcess> process;
  std::vector<std::string> argv;
  std::vector<char*> argvPointers;
  std::vector<char*> envPointers;
  try {
    process.reset(new ChildProcess(-1, std::make_shared<Shared>()));
    argv.reserve(configuration.arguments.size() + 1);
    argv.push_back(configuration.executable);
    argv.insert(argv.end(), configuration.arguments.begin(), configuration.arguments.end());
    argvPointers = pointers(argv);
    envPointers = pointers(configuration.environment);
  } catch (...) {
    return StartError{ENOMEM};
  }
  SpawnActions actions;
  SpawnAttributes attributes;
  if (int rc = prepare(configuration, actions, attributes); rc != 0) return StartError{rc};

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, configuration.executable.c_str(), actions.get(), attributes.get(),
                             argvPointers.data(), envPointers.data());
  if (rc != 0) return StartError{rc};
  process->pid_ = pid;

  std::shared_ptr<Shared> shared = process->shared_;
  try {
    shared->watcher = std::thread([pid, shared, handler = std::move(handler)]() mutable {
      const int status = reap(pid);
      shared->reaped.store(true);
      Termination t = status < 0 ? Termination{1, false, 0} : terminationFromStatus(status);
      // An exception leaving this thread would end the whole process.
      try {
        if (handler) handler(t);
      } catch (...) {
      }
      handler = nullptr;  // whatever it owns goes now, on this thread
      shared->done.store(true);
    });
  } catch (...) {
    // Without a watcher nobody would reap the child: stop it rather than leak it.
    ::kill(pid, SIGKILL);
    reap(pid);
    return StartError{EAGAIN};
  }
  return process;
}

Result<Termination, StartError> runToEnd(const LaunchConfiguration& configuration) noexcept {
  try {
    // Shared with the handler: the watcher may still be inside set_value when
    // the waiting caller returns.
    auto ended = std::make_shared<std::promise<Termination>>();
    std::future<Termination> termination = ended->get_future();
    auto started = ChildProcess::start(configuration, [ended](const Termination& t) { ended->set_value(t); });
    if (!started) return started.error();
    return termination.get();
  } catch (...) {
    return StartError{ENOMEM};
  }
}

}  // namespace sonarell::process
