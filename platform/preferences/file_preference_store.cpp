#include "platform/preferences/file_preference_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/fs/paths.h"
#include "platform/fs/unique_fd.h"
#include "platform/plist/codec.h"

namespace sonarell::preferences {
namespace {

bool acceptableDomain(const std::string& domain) {
  return !domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string::npos &&
         domain.find('\0') == std::string::npos;
}

// Parsed domain files of this process, by path. An entry is used only for a file
// that holds exactly the same bytes again, so a change by any other writer is
// always seen; the cache only saves parsing what this process just read or wrote.
class SnapshotCache {
 public:
  template <typename Snapshot>
  std::shared_ptr<const Snapshot> find(const std::string& path, const std::string& bytes) {
    const std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
      if (entry.path == path) {
        auto snapshot = std::static_pointer_cast<const Snapshot>(entry.snapshot);
        return snapshot->bytes == bytes ? snapshot : nullptr;
      }
    }
    return nullptr;
  }

  void put(const std::string& path, std::shared_ptr<const void> snapshot) {
    const std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->path == path) {
        entries_.erase(it);
        break;
      }
    }
    // A handful of domains is what a process uses; the oldest goes first.
    constexpr std::size_t kEntries = 8;
    if (entries_.size() == kEntries) entries_.erase(entries_.begin());
    entries_.push_back({path, std::move(snapshot)});
  }

 private:
  struct Entry {
    std::string path;
    std::shared_ptr<const void> snapshot;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

SnapshotCache& snapshotCache() {
  static SnapshotCache cache;
  return cache;
}

bool containsDate(const plist::Value& value) {
  if (value.isDate()) return true;
  if (const auto* array = value.asArray()) {
    for (const auto& element : *array) {
      if (containsDate(element)) return true;
    }
  }
  if (const auto* dictionary = value.asDictionary()) {
    for (const auto& entry : *dictionary) {
      if (containsDate(entry.second)) return true;
    }
  }
  return false;
}

using Pending = std::vector<std::pair<std::string, std::optional<plist::Value>>>;

const std::optional<plist::Value>* pendingValue(const Pending& pending, std::string_view key) {
  for (const auto& entry : pending) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

// The pending keys laid over the domain, copying each value once: a key that is
// replaced is not copied from the domain first.
plist::Dictionary merge(const plist::Dictionary* disk, const Pending& pending) {
  plist::Dictionary merged;
  if (disk) {
    for (const auto& [key, value] : *disk) {
      const std::optional<plist::Value>* replaced = pendingValue(pending, key);
      if (!replaced) {
        merged.set(key, value);
      } else if (*replaced) {
        merged.set(key, **replaced);
      }
    }
  }
  for (const auto& [key, value] : pending) {
    if (value && !(disk && disk->find(key))) merged.set(key, *value);
  }
  return merged;
}

bool makeDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void release() { path_.clear(); }

 private:
  std::string path_;
};

bool fsyncDirectory(const std::string& path) {
  fs::UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && ::fsync(dir.get()) == 0 && dir.close();
}

}  // namespace

FilePreferenceStore::FilePreferenceStore(std::string homeDirectory) : home_(std::move(homeDirectory)) {}

std::optional<std::string> FilePreferenceStore::domainFilePath(const std::string& domain) const {
  if (home_.empty() || !acceptableDomain(domain)) return std::nullopt;
  return fs::appendingPathComponent(fs::appendingPathComponent(home_, "Library/Preferences"),
                                    domain + ".plist");
}

FilePreferenceStore::DomainState* FilePreferenceStore::domainState(const std::string& domain) {
  const std::optional<std::string> path = domainFilePath(domain);
  if (!path) return nullptr;
  auto it = domains_.find(domain);
  if (it == domains_.end()) {
    it = domains_.emplace(domain, DomainState{}).first;
    refresh(it->second, *path);
  }
  return &it->second;
}

bool FilePreferenceStore::refresh(DomainState& state, const std::string& path) const {
  fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  std::optional<std::string> bytes;
  if (fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) bytes = fs::readAll(fd.get());
  if (!bytes) {
    const bool missing = !fd && errno == ENOENT;
    state.disk.reset();
    return missing;
  }
  // Reading the bytes is cheap; parsing a long list is not.
  if (state.disk && state.disk->bytes == *bytes) return true;
  if (auto cached = snapshotCache().find<Snapshot>(path, *bytes)) {
    state.disk = std::move(cached);
    return true;
  }
  std::optional<plist::Value> value = plist::parse(*bytes);
  if (!value || !value->isDictionary()) {
    state.disk.reset();
    return false;
  }
  auto snapshot =
      std::make_shared<const Snapshot>(Snapshot{std::move(*bytes), std::move(*value->asDictionary())});
  snapshotCache().put(path, snapshot);
  state.disk = std::move(snapshot);
  return true;
}

std::optional<plist::Value> FilePreferenceStore::copyAppValue(const std::string& key,
                                                              const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return std::nullopt;
  for (const auto& entry : state->pending) {
    if (entry.first == key) return entry.second;
  }
  const plist::Value* value = state->disk ? state->disk->dictionary.find(key) : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}

void FilePreferenceStore::setAppValue(const std::string& key, std::optional<plist::Value> value,
                                      const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return;
  for (auto& entry : state->pending) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  state->pending.emplace_back(key, std::move(value));
}

bool FilePreferenceStore::synchronize(const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return false;
  const std::string path = *domainFilePath(domain);
  if (state->pending.empty()) {
    // Nothing to store: bring the view up to date. The file is only ever replaced
    // by a rename, so reading it needs no lock.
    return refresh(*state, path);
  }
  if (!store(domain, *state)) {
    // The pending keys stay, over whatever could be read.
    refresh(*state, path);
    return false;
  }
  state->pending.clear();
  return true;
}

bool FilePreferenceStore::store(const std::string& domain, DomainState& state) {
  const std::string library = fs::appendingPathComponent(home_, "Library");
  const std::string folder = fs::appendingPathComponent(library, "Preferences");
  const std::string path = fs::appendingPathComponent(folder, domain + ".plist");
  if (!makeDirectory(library, 0755) || !makeDirectory(folder, 0700)) return false;

  // A lock file of its own, so that the lock survives the domain file being replaced.
  const std::string lockPath = fs::appendingPathComponent(folder, "." + domain + ".plist.lock");
  fs::UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return false;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }

  // What is on disk now, read afresh unless it is the very version already held.
  if (!refresh(state, path)) return false;
  plist::Value mergedValue(merge(state.disk ? &state.disk->dictionary : nullptr, state.pending));
  std::optional<std::string> xml = plist::toXml(mergedValue);
  if (!xml) return false;

  std::string templatePath = fs::appendingPathComponent(folder, "." + domain + ".plist.XXXXXX");
  fs::UniqueFd out(::mkostemp(templatePath.data(), O_CLOEXEC));
  if (!out) return false;
  TemporaryFile temporary(templatePath);
  // Keep the permissions an existing domain file had; a new one is private to the user.
  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0600;
  if (::fchmod(out.get(), mode) != 0) return false;
  if (!fs::writeAll(out.get(), *xml) || ::fsync(out.get()) != 0 || !out.close()) return false;
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) return false;
  temporary.release();
  if (!fsyncDirectory(folder)) return false;

  // The view now shows what was stored. XML keeps every kind exactly except the
  // fraction of a date, so a value holding dates is read back from the file.
  if (containsDate(mergedValue)) {
    state.disk.reset();
    return refresh(state, path);
  }
  auto snapshot =
      std::make_shared<const Snapshot>(Snapshot{std::move(*xml), std::move(*mergedValue.asDictionary())});
  snapshotCache().put(path, snapshot);
  state.disk = std::move(snapshot);
  return true;
}

}  // namespace sonarell::preferences
