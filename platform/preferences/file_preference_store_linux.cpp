#include "platform/preferences/file_preference_store_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/fs/file_access.h"
#include "platform/fs/paths.h"
#include "platform/fs/temporary_file.h"
#include "platform/fs/unique_fd.h"
#include "platform/plist/codec.h"
#include "platform/result/result.h"

namespace sonarell::preferences {

struct FilePreferenceStore::Snapshot {
  std::string bytes;
  plist::Format format;
  plist::Dictionary dictionary;
};

namespace {

using Snapshot = FilePreferenceStore::Snapshot;

// A preference file is a few kilobytes, a long enabled-source list a few
// megabytes; anything far beyond is no preference file and is not read.
constexpr off_t kMaxDomainFileSize = 64 * 1024 * 1024;

bool acceptableDomain(const std::string& domain) {
  return !domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string::npos &&
         domain.find('\0') == std::string::npos;
}

std::string describeErrno(const char* what, int error = errno) {
  return std::string(what) + ": " + std::strerror(error);
}

// Parsed domain files of this process, by path: the latest version and the one
// before it. An entry is used only for a file that holds exactly the same bytes
// again, so a change by any other writer is always seen; the cache only saves
// parsing what this process just read or wrote, and serialising a domain back to
// a version it had just before (the refresh of the enabled list does that).
class SnapshotCache {
 public:
  // The newest version of the file at the path.
  std::shared_ptr<const Snapshot> find(const std::string& path) {
    return newest(path, [](const Snapshot&) { return true; });
  }

  // A version of the file at the path that holds the dictionary, in that form.
  std::shared_ptr<const Snapshot> findHolding(const std::string& path, plist::Format format,
                                              const plist::Dictionary& dictionary) {
    return newest(path, [&](const Snapshot& s) { return s.format == format && s.dictionary == dictionary; });
  }

  void put(const std::string& path, std::shared_ptr<const Snapshot> snapshot) {
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.path == path && e.snapshot == snapshot; });
    // Only the newest versions of a file are kept; entries_ runs from old to new.
    auto versions = static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.path == path; }));
    for (auto it = entries_.begin(); it != entries_.end() && versions >= kVersions;) {
      if (it->path == path) {
        it = entries_.erase(it);
        --versions;
      } else {
        ++it;
      }
    }
    // A handful of domains is what a process uses; the oldest goes first.
    if (entries_.size() == kEntries) entries_.erase(entries_.begin());
    entries_.push_back({path, std::move(snapshot)});
  }

 private:
  template <typename Predicate>
  std::shared_ptr<const Snapshot> newest(const std::string& path, Predicate matches) {
    const std::lock_guard lock(mutex_);
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
      if (it->path == path && matches(*it->snapshot)) return it->snapshot;
    }
    return nullptr;
  }

  static constexpr std::size_t kVersions = 2;
  static constexpr std::size_t kEntries = 16;
  struct Entry {
    std::string path;
    std::shared_ptr<const Snapshot> snapshot;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

SnapshotCache& snapshotCache() {
  // Never destroyed: freeing a long list's parse at exit is time the tool's
  // caller waits for, to no use.
  static SnapshotCache& cache = *new SnapshotCache;
  return cache;
}

// Whether the rest of the file holds exactly `expected`, read in pieces so that
// an unchanged long file costs no copy of it. Leaves the offset at the start.
bool holdsBytes(int fd, std::string_view expected) {
  char buffer[64 * 1024];
  std::size_t at = 0;
  bool same = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      same = n == 0 && at == expected.size();
      break;
    }
    const auto size = static_cast<std::size_t>(n);
    if (size > expected.size() - at || std::memcmp(buffer, expected.data() + at, size) != 0) {
      same = false;
      break;
    }
    at += size;
  }
  return ::lseek(fd, 0, SEEK_SET) == 0 && same;
}

// The whole file, at most `limit` bytes; none when it is longer or unreadable.
std::optional<std::string> readBounded(int fd, std::size_t sizeHint, std::size_t limit) {
  std::string bytes;
  bytes.resize(sizeHint + 1);  // one more, to see the end without growing
  std::size_t at = 0;
  for (;;) {
    if (at == bytes.size()) {
      if (bytes.size() > limit) return std::nullopt;
      bytes.resize(bytes.size() * 2);
    }
    const ssize_t n = ::read(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    at += static_cast<std::size_t>(n);
  }
  if (at > limit) return std::nullopt;
  bytes.resize(at);
  return bytes;
}

// What is at the domain path.
struct DomainFile {
  enum class Kind { Missing, Unusable, Read };
  Kind kind = Kind::Missing;
  std::string failure;                       // Unusable: why
  fs::UniqueFd fd;                           // Read: the file, open for reading
  struct stat status {};                     // Read
  std::shared_ptr<const Snapshot> snapshot;  // Read
};

// Reads the domain file, following a symbolic link. Anything but a regular file
// is refused before it is opened, so a FIFO or a device is never read from;
// `known` and this process's cache spare the parse of bytes already parsed.
DomainFile readDomainFile(const std::string& path, const std::shared_ptr<const Snapshot>& known) {
  DomainFile file;
  file.kind = DomainFile::Kind::Unusable;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    struct stat link {};
    if (errno == ENOENT && ::lstat(path.c_str(), &link) != 0 && errno == ENOENT) {
      file.kind = DomainFile::Kind::Missing;
    } else {
      file.failure = errno == ENOENT ? "the domain file is a symbolic link to nothing"
                                     : describeErrno("cannot look at the domain file");
    }
    return file;
  }
  if (!S_ISREG(st.st_mode)) {
    file.failure = "the domain file is not a regular file";
    return file;
  }
  // Non-blocking in case something else was put there since the look above.
  fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    file.failure = describeErrno("cannot read the domain file");
    return file;
  }
  if (!S_ISREG(st.st_mode)) {
    file.failure = "the domain file is not a regular file";
    return file;
  }
  if (st.st_size > kMaxDomainFileSize) {
    file.failure = "the domain file is too large to be a preference file";
    return file;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  const std::shared_ptr<const Snapshot> cached = snapshotCache().find(path);
  for (const std::shared_ptr<const Snapshot>& candidate : {known, cached == known ? nullptr : cached}) {
    if (candidate && candidate->bytes.size() == size && holdsBytes(fd.get(), candidate->bytes)) {
      file.kind = DomainFile::Kind::Read;
      file.fd = std::move(fd);
      file.status = st;
      file.snapshot = candidate;
      return file;
    }
  }
  std::optional<std::string> bytes = readBounded(fd.get(), size, kMaxDomainFileSize);
  if (!bytes) {
    file.failure = describeErrno("cannot read the domain file");
    return file;
  }
  if (bytes->empty()) {
    // What a crash or a full disk leaves: an empty domain, replaced (in XML, like
    // a new file) by the next write. Not cached, so that its empty bytes are never
    // reused as the serialised form of an empty dictionary.
    file.kind = DomainFile::Kind::Read;
    file.fd = std::move(fd);
    file.status = st;
    file.snapshot = std::make_shared<const Snapshot>(Snapshot{{}, plist::Format::Xml, {}});
    return file;
  }
  std::optional<plist::Parsed> parsed = plist::parseWithFormat(*bytes);
  if (!parsed || !parsed->value.isDictionary()) {
    file.failure = "the domain file is not a property-list dictionary";
    return file;
  }
  auto snapshot = std::make_shared<const Snapshot>(
      Snapshot{std::move(*bytes), parsed->format, std::move(*parsed->value.asDictionary())});
  snapshotCache().put(path, snapshot);
  file.kind = DomainFile::Kind::Read;
  file.fd = std::move(fd);
  file.status = st;
  file.snapshot = std::move(snapshot);
  return file;
}

const plist::Value* valueIn(const std::shared_ptr<const Snapshot>& snapshot, const std::string& key) {
  return snapshot ? snapshot->dictionary.find(key) : nullptr;
}

bool sameValue(const plist::Value* a, const plist::Value* b) {
  return a == b || (a != nullptr && b != nullptr && *a == *b);
}

// The file that is actually replaced: the domain file, or the target of the
// symbolic link at its place. A failure for a dangling link.
Result<std::string> fileToReplace(const std::string& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0) {
    if (errno == ENOENT) return path;
    return Failure{describeErrno("cannot look at the domain file")};
  }
  if (!S_ISLNK(link.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) {
    return Failure{errno == ENOENT ? "the domain file is a symbolic link to nothing"
                                   : describeErrno("cannot follow the domain file's link")};
  }
  return std::string(resolved.get());
}

// The names this store gives its temporary files beside `name`: "." name, an
// infix no one gives a file of their own, and the six letters or digits mkstemp
// chooses. The sweep removes only names of exactly this form, so a user's
// ".<name>.backup" beside the domain file is never taken for one.
std::string temporaryPrefix(const std::string& name) { return "." + name + ".sonarell-store-"; }

bool isTemporaryName(std::string_view entry, std::string_view prefix) {
  if (entry.size() != prefix.size() + 6 || !entry.starts_with(prefix)) return false;
  for (char c : entry.substr(prefix.size())) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) return false;
  }
  return true;
}

// Temporary files are only made while the lock is held, so with the lock held
// every one there was left by a writer that died before renaming it.
void removeLeftTemporaries(const std::string& folder, const std::string& name) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  const std::unique_ptr<DIR, CloseDir> dir(::fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return;
  }
  const std::string prefix = temporaryPrefix(name);
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!isTemporaryName(entry->d_name, prefix)) continue;
    struct stat st {};
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      ::unlinkat(fd, entry->d_name, 0);
    }
  }
}

// Takes the domain's lock, waiting at most `wait` for another writer to release
// it. A lock file the user may read but not write still serves (flock needs no
// write access); anything but a regular file at its place is refused. The lock
// is held for as long as the descriptor given back is open.
Result<fs::UniqueFd> lockDomain(const std::string& lockPath, std::chrono::milliseconds wait) {
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  fs::UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | kFlags, 0600));
  if (!fd && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    const int refused = errno;
    fd = fs::UniqueFd(::open(lockPath.c_str(), O_RDONLY | kFlags));
    // Not there to be read either: the folder refused its creation.
    if (!fd && errno == ENOENT) errno = refused;
  }
  struct stat st {};
  if (!fd && errno == ELOOP) return Failure{"the domain's lock " + lockPath + " is a symbolic link"};
  if (!fd && errno == EISDIR) return Failure{"the domain's lock " + lockPath + " is a folder"};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    return Failure{describeErrno(("cannot open the domain's lock " + lockPath).c_str())};
  }
  if (!S_ISREG(st.st_mode)) {
    return Failure{"the domain's lock " + lockPath +
                   (S_ISDIR(st.st_mode) ? " is a folder" : " is not a regular file")};
  }
  // Polled rather than waited on, so that a writer that never lets go costs a
  // bounded wait and a reason instead of a hung install.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Failure{describeErrno("cannot lock the domain")};
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", std::chrono::duration<double>(wait).count());
      return Failure{"another process held the domain's lock " + lockPath + " for more than " + seconds +
                     " seconds"};
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return fd;
}

// The same file, unchanged as far as its status tells: another writer's
// replacement gives another inode, a change in place another size or time.
bool sameFile(const struct stat& a, const struct stat& b) {
  const auto same = [](const struct timespec& x, const struct timespec& y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
  };
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         same(a.st_mtim, b.st_mtim) && same(a.st_ctim, b.st_ctim);
}

// How often a synchronise starts over after another writer changed the file
// under it before it gives up.
constexpr int kStoreAttempts = 5;

// Gives the new file what the old one had: owner and group where the process may
// set them, extended attributes (ACLs among them) where it may, and the mode,
// last, since a change of owner clears the set-id bits.
Outcome keepAttributes(int from, const struct stat& st, int to) {
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(to, st.st_uid, st.st_gid) != 0) {
    // Not allowed to give the file away: keep at least the group where allowed.
    if (errno != EPERM || (::fchown(to, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM)) {
      return Failure{describeErrno("cannot keep the domain file's owner")};
    }
  }
  const ssize_t listSize = ::flistxattr(from, nullptr, 0);
  if (listSize > 0) {
    std::string names(static_cast<std::size_t>(listSize), '\0');
    const ssize_t got = ::flistxattr(from, names.data(), names.size());
    for (std::size_t at = 0; got > 0 && at < static_cast<std::size_t>(got);) {
      const char* name = names.data() + at;
      at += std::strlen(name) + 1;
      const ssize_t valueSize = ::fgetxattr(from, name, nullptr, 0);
      if (valueSize < 0) continue;
      std::string value(static_cast<std::size_t>(valueSize), '\0');
      const ssize_t read = ::fgetxattr(from, name, value.data(), value.size());
      if (read < 0) continue;
      if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(read), 0) != 0 && errno != EPERM &&
          errno != EACCES && errno != ENOTSUP) {
        return Failure{describeErrno("cannot keep the domain file's extended attributes")};
      }
    }
  }
  if (::fchmod(to, st.st_mode & 07777) != 0) {
    return Failure{describeErrno("cannot keep the domain file's mode")};
  }
  return {};
}

}  // namespace

FilePreferenceStore::FilePreferenceStore(std::string homeDirectory, std::chrono::milliseconds lockWait)
    : home_(std::move(homeDirectory)), lockWait_(lockWait) {}

std::optional<std::string> FilePreferenceStore::domainFilePath(const std::string& domain) const {
  if (home_.empty() || !acceptableDomain(domain)) return std::nullopt;
  return fs::appendingPathComponent(fs::appendingPathComponent(home_, "Library/Preferences"),
                                    domain + ".plist");
}

FilePreferenceStore::DomainState* FilePreferenceStore::domainState(const std::string& domain) {
  const std::optional<std::string> path = domainFilePath(domain);
  if (!path) return nullptr;
  DomainState& state = domains_[domain];
  if (!state.loaded) refresh(state, *path);
  return &state;
}

bool FilePreferenceStore::refresh(DomainState& state, const std::string& path) {
  state.loaded = true;
  DomainFile file = readDomainFile(path, state.disk);
  state.disk = std::move(file.snapshot);
  if (file.kind == DomainFile::Kind::Unusable) {
    lastFailure_ = std::move(file.failure);
    return false;
  }
  return true;
}

std::optional<plist::Value> FilePreferenceStore::copyAppValue(const std::string& key,
                                                              const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return std::nullopt;
  for (const auto& entry : state->pending) {
    if (entry.key == key) return entry.value;
  }
  const plist::Value* value = valueIn(state->disk, key);
  if (value == nullptr) return std::nullopt;
  return *value;
}

void FilePreferenceStore::setAppValue(const std::string& key, std::optional<plist::Value> value,
                                      const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return;
  for (auto& entry : state->pending) {
    if (entry.key == key) {
      entry.value = std::move(value);
      return;
    }
  }
  state->pending.push_back({key, std::move(value), state->disk});
}

bool FilePreferenceStore::synchronize(const std::string& domain) {
  lastFailure_.clear();
  const std::optional<std::string> path = domainFilePath(domain);
  if (!path) {
    lastFailure_ = "no such domain";
    return false;
  }
  DomainState& state = domains_[domain];
  if (state.pending.empty()) {
    // Nothing to store: bring the view up to date. The file is only ever replaced
    // by a rename, so reading it needs no lock.
    return refresh(state, *path);
  }
  if (!store(state, *path)) {
    // The pending keys stay, over whatever could be read.
    const std::string failure = lastFailure_;
    refresh(state, *path);
    lastFailure_ = failure;
    return false;
  }
  state.pending.clear();
  return true;
}

bool FilePreferenceStore::store(DomainState& state, const std::string& path) {
  const std::string library = fs::appendingPathComponent(home_, "Library");
  const std::string preferences = fs::appendingPathComponent(library, "Preferences");
  auto made = fs::makeFolder(library, 0755);
  if (made) made = fs::makeFolder(preferences, 0700);
  if (!made) {
    lastFailure_ = describeErrno("cannot make the preferences folder", made.error().error);
    return false;
  }

  Result<std::string> found = fileToReplace(path);
  if (!found) {
    lastFailure_ = found.error().reason;
    return false;
  }
  const std::string target = std::move(found).value();
  const std::string folder = fs::deletingLastPathComponent(target);
  const std::string name = fs::lastPathComponent(target);

  // A lock file of its own beside the file that is replaced, so that the lock
  // survives the replacement and a domain reached through a link shares the
  // lock of the file it names.
  const std::string lockPath = fs::appendingPathComponent(folder, "." + name + ".lock");
  Result<fs::UniqueFd> lock = lockDomain(lockPath, lockWait_);
  if (!lock) {
    lastFailure_ = lock.error().reason;
    return false;
  }
  // The link may have been changed while this process waited for the lock.
  const Result<std::string> again = fileToReplace(path);
  if (!again) {
    lastFailure_ = again.error().reason;
    return false;
  }
  if (again.value() != target) {
    lastFailure_ = "the domain file's link changed while it was being stored";
    return false;
  }
  removeLeftTemporaries(folder, name);

  // A writer that does not take the lock may replace the file between the read
  // and the replacement; each such change starts the merge over from a fresh read.
  for (int attempt = 0; attempt < kStoreAttempts; ++attempt) {
    switch (storeAttempt(state, path, target, folder, name)) {
      case Attempt::Stored:
        return true;
      case Attempt::Failed:
        return false;
      case Attempt::ChangedMeanwhile:
        break;
    }
  }
  lastFailure_ = "the domain file kept being changed by another writer while it was being stored";
  return false;
}

FilePreferenceStore::Attempt FilePreferenceStore::storeAttempt(DomainState& state, const std::string& path,
                                                               const std::string& target,
                                                               const std::string& folder,
                                                               const std::string& name) {
  // What is on disk now, read afresh unless it is the very version already held.
  DomainFile current = readDomainFile(path, state.disk);
  if (current.kind == DomainFile::Kind::Unusable) {
    lastFailure_ = std::move(current.failure);
    return Attempt::Failed;
  }
  // A key whose value on disk is not the one this process's change was based
  // on was changed by another writer meanwhile: storing would silently undo that.
  bool unchanged = true;
  for (const PendingKey& entry : state.pending) {
    const plist::Value* now = valueIn(current.snapshot, entry.key);
    if (entry.base != current.snapshot && !sameValue(valueIn(entry.base, entry.key), now)) {
      lastFailure_ = "\"" + entry.key + "\" was changed by another writer since it was read";
      return Attempt::Failed;
    }
    if (!sameValue(entry.value ? &*entry.value : nullptr, now)) unchanged = false;
  }
  if (unchanged) {
    state.disk = std::move(current.snapshot);
    return Attempt::Stored;
  }

  // The pending keys laid over the domain, in the file's order, new keys last.
  plist::Dictionary merged = current.snapshot ? current.snapshot->dictionary : plist::Dictionary{};
  for (const PendingKey& entry : state.pending) {
    if (entry.value) {
      merged.set(entry.key, *entry.value);
    } else {
      merged.erase(entry.key);
    }
  }
  const plist::Format format = current.snapshot ? current.snapshot->format : plist::Format::Xml;
  plist::Value mergedValue(std::move(merged));
  // Going back to the version before is common enough to skip serialising it.
  std::shared_ptr<const Snapshot> earlier =
      snapshotCache().findHolding(path, format, *mergedValue.asDictionary());
  std::optional<std::string> serialized;
  if (!earlier) serialized = plist::serialize(mergedValue, format);
  if (!earlier && !serialized) {
    lastFailure_ = format == plist::Format::Binary
                       ? "a value cannot be written unaltered in the binary form the domain file has"
                       : "a value cannot be written unaltered in the XML form the domain file has";
    return Attempt::Failed;
  }
  const std::string& bytes = earlier ? earlier->bytes : *serialized;

  std::string templatePath = fs::appendingPathComponent(folder, temporaryPrefix(name) + "XXXXXX");
  fs::UniqueFd out(::mkostemp(templatePath.data(), O_CLOEXEC));
  if (!out) {
    lastFailure_ = describeErrno("cannot create a new domain file");
    return Attempt::Failed;
  }
  fs::TemporaryFile temporary(templatePath);
  if (!fs::writeAll(out.get(), bytes)) {
    lastFailure_ = describeErrno("cannot write the new domain file");
    return Attempt::Failed;
  }
  if (current.kind == DomainFile::Kind::Read) {
    if (const Outcome kept = keepAttributes(current.fd.get(), current.status, out.get()); !kept) {
      lastFailure_ = kept.error().reason;
      return Attempt::Failed;
    }
  } else if (::fchmod(out.get(), 0600) != 0) {  // a new domain file is private to the user
    lastFailure_ = describeErrno("cannot set the new domain file's mode");
    return Attempt::Failed;
  }
  if (::fsync(out.get()) != 0 || !out.close()) {
    lastFailure_ = describeErrno("cannot flush the new domain file");
    return Attempt::Failed;
  }
  if (beforeReplace_) beforeReplace_();
  // The last look at the file, right before it is replaced: still the file that
  // was read (the link followed), or, when there was none, still none (the new
  // one is put in place only where nothing is).
  if (current.kind == DomainFile::Kind::Read) {
    struct stat now {};
    if (::stat(path.c_str(), &now) != 0 || !sameFile(now, current.status)) return Attempt::ChangedMeanwhile;
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
      lastFailure_ = describeErrno("cannot put the new domain file into place");
      return Attempt::Failed;
    }
  } else if (auto moved = fs::moveWithoutReplacing(temporary.path(), target); !moved) {
    if (moved.error().error == EEXIST) return Attempt::ChangedMeanwhile;
    lastFailure_ = describeErrno("cannot put the new domain file into place", moved.error().error);
    return Attempt::Failed;
  }
  temporary.release();
  // The folder is not flushed: a crash may cost the rename, leaving the old
  // file whole, while the new file's own flush above means a rename that
  // survives never shows a file without its contents.

  // The view now shows what was stored: both forms carry every value they
  // accept unaltered, so the merged dictionary is what a re-read would give.
  if (earlier) {
    snapshotCache().put(path, earlier);
    state.disk = std::move(earlier);
    return Attempt::Stored;
  }
  plist::Dictionary storedDictionary = std::move(*mergedValue.asDictionary());
  auto snapshot =
      std::make_shared<const Snapshot>(Snapshot{std::move(*serialized), format, std::move(storedDictionary)});
  snapshotCache().put(path, snapshot);
  state.disk = std::move(snapshot);
  return Attempt::Stored;
}

}  // namespace sonarell::preferences
