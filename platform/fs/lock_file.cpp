#include "platform/fs/lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>

#include "platform/fs/file_access.h"
#include "platform/fs/paths.h"

namespace sonarell::fs {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPoll{100};
// Starting over without waiting (the file replaced between the steps) this many
// times means someone keeps changing the path; give up rather than spin.
constexpr int kMaxRestarts = 100;
// Link texts of the earlier version are a process id and a short identity.
constexpr std::size_t kMaxLinkText = 4096;

std::string why(int error) { return std::strerror(error); }

LockFailure failed(std::string reason) { return {LockFailure::Kind::Failed, std::move(reason)}; }

LockFailure inTheWay(const std::string& path, const std::string& what) {
  return {LockFailure::Kind::InTheWay, path + " is in the way of the install lock (" + what +
                                           "); nothing was changed; move it away and try again"};
}

const char* kindWords(mode_t mode) {
  if (S_ISDIR(mode)) return "it is a folder";
  if (S_ISFIFO(mode)) return "it is a FIFO";
  if (S_ISSOCK(mode)) return "it is a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device";
  return "it is not a regular file";
}

// The link's text; none when `path` is no link (any more) or cannot be read.
std::optional<std::string> linkText(const std::string& path) {
  std::string text(kMaxLinkText, '\0');
  const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
  if (n < 0 || static_cast<std::size_t>(n) >= text.size()) return std::nullopt;
  text.resize(static_cast<std::size_t>(n));
  return text;
}

// The process id a lock of the earlier version names: its text is a decimal
// process id, optionally followed by a space and more. None for any other text;
// 0 for an id no process can have.
std::optional<pid_t> legacyOwner(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || (digits < text.size() && text[digits] != ' ')) return std::nullopt;
  long long pid = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    pid = pid * 10 + (text[i] - '0');
    if (pid > std::numeric_limits<pid_t>::max()) return pid_t{0};
  }
  return static_cast<pid_t>(pid);
}

// Whether the process exists: one of another user's answers EPERM.
bool processExists(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// Opens the lock file, creating it when missing; never follows a link and
// never waits on a FIFO put in its place.
UniqueFd openLockFile(const std::string& path) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | kFlags, 0644));
  // A lock file of another user's that this one may only read locks as well.
  if (!fd && errno == EACCES) fd = UniqueFd(::open(path.c_str(), O_RDONLY | kFlags));
  return fd;
}

}  // namespace

Result<UniqueFd, LockFailure> lockFile(const std::string& path, milliseconds wait,
                                       const std::function<void()>& onWait,
                                       const std::function<void()>& beforeLock) {
  const auto deadline = Clock::now() + wait;
  bool waited = false;
  int restarts = 0;
  // Called when the lock is someone else's: false once the time is up.
  const auto waitABit = [&] {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (!waited) {
      waited = true;
      if (onWait) onWait();
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(kPoll, deadline - now));
    restarts = 0;
    return true;
  };
  const auto timedOut = [&] {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
    return LockFailure{LockFailure::Kind::TimedOut,
                       "another install of Sonarell is still running after " + std::to_string(seconds) +
                           " seconds; nothing was changed; try again when it has finished"};
  };

  for (;; ++restarts) {
    if (restarts > kMaxRestarts) {
      return failed(path + " kept changing while the install lock was being taken; nothing was changed");
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno != ENOENT)
        return failed("the install lock " + path + " cannot be looked at (" + why(errno) + ")");
      const std::string folder = deletingLastPathComponent(path);
      if (!folder.empty()) {
        if (auto made = makeFolders(folder); !made) {
          return failed("the folder " + made.error().path + " for the install lock cannot be made (" +
                        why(made.error().error) + ")");
        }
      }
    } else if (S_ISLNK(st.st_mode)) {
      const std::optional<std::string> text = linkText(path);
      if (!text) continue;  // gone or replaced meanwhile: look again
      const std::optional<pid_t> owner = legacyOwner(*text);
      if (!owner)
        return inTheWay(path, "it is a symbolic link to \"" + *text + "\", not a lock of this installer");
      if (processExists(*owner)) {
        if (!waitABit()) return timedOut();
        continue;
      }
      // Its owner has ended. Read it again right before removing it, so that a
      // lock someone else has just put there in its place stays.
      if (linkText(path) == text && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return failed("the earlier installer's lock " + path + " cannot be removed (" + why(errno) + ")");
      }
      continue;
    } else if (!S_ISREG(st.st_mode)) {
      return inTheWay(path, kindWords(st.st_mode));
    }

    UniqueFd fd = openLockFile(path);
    if (!fd) {
      // Replaced by a link, or removed, between the look and the opening.
      if (errno == ELOOP || errno == ENOENT || errno == EEXIST) continue;
      return failed("the install lock " + path + " cannot be opened (" + why(errno) + ")");
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) {
      return failed("the install lock " + path + " cannot be looked at (" + why(errno) + ")");
    }
    if (!S_ISREG(opened.st_mode)) continue;  // something else put there: look again
    if (beforeLock) beforeLock();
    int result = 0;
    do {
      result = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      if (errno != EWOULDBLOCK)
        return failed("the install lock " + path + " cannot be taken (" + why(errno) + ")");
      fd.reset();
      if (!waitABit()) return timedOut();
      continue;
    }
    // The holder before may have removed the file as it ended, and someone else
    // may hold a new one at the path now: the lock counts only on what the path names.
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino) {
      return fd;
    }
  }
}

}  // namespace sonarell::fs
