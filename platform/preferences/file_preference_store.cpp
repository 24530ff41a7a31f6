#include "platform/preferences/file_preference_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/fs/paths.h"
#include "platform/fs/unique_fd.h"
#include "platform/plist/codec.h"

namespace sonarell::preferences {
namespace {

bool acceptableDomain(const std::string& domain) {
  return !domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string::npos &&
         domain.find('\0') == std::string::npos;
}

enum class DiskState { Missing, Valid, Invalid };

struct DiskContents {
  DiskState state = DiskState::Invalid;
  plist::Dictionary dictionary;
};

DiskContents parseDomain(const std::string& bytes) {
  std::optional<plist::Value> value = plist::parse(bytes);
  if (!value || !value->isDictionary()) return {};
  return {DiskState::Valid, std::move(*value->asDictionary())};
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

void applyPending(const std::vector<std::pair<std::string, std::optional<plist::Value>>>& pending,
                  plist::Dictionary& onto) {
  for (const auto& [key, value] : pending) {
    if (value) {
      onto.set(key, *value);
    } else {
      onto.erase(key);
    }
  }
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
    state.disk = {};
    state.diskBytes.reset();
    return missing;
  }
  // Reading the bytes is cheap; parsing a long list is not.
  if (state.diskBytes == bytes) return true;
  DiskContents contents = parseDomain(*bytes);
  state.disk = std::move(contents.dictionary);
  if (contents.state != DiskState::Valid) {
    state.diskBytes.reset();
    return false;
  }
  state.diskBytes = std::move(bytes);
  return true;
}

std::optional<plist::Value> FilePreferenceStore::copyAppValue(const std::string& key,
                                                              const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return std::nullopt;
  for (const auto& entry : state->pending) {
    if (entry.first == key) return entry.second;
  }
  const plist::Value* value = state->disk.find(key);
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
  plist::Dictionary merged = state.disk;
  applyPending(state.pending, merged);
  plist::Value mergedValue(std::move(merged));
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
    state.diskBytes.reset();
    return refresh(state, path);
  }
  state.disk = std::move(*mergedValue.asDictionary());
  state.diskBytes = std::move(*xml);
  return true;
}

}  // namespace sonarell::preferences
