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

DiskContents readDomainFile(const std::string& path) {
  fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return {errno == ENOENT ? DiskState::Missing : DiskState::Invalid, {}};
  const std::optional<std::string> bytes = fs::readAll(fd.get());
  if (!bytes) return {};
  std::optional<plist::Value> value = plist::parse(*bytes);
  if (!value || !value->isDictionary()) return {};
  return {DiskState::Valid, std::move(*value->asDictionary())};
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
    DiskContents disk = readDomainFile(*path);
    it = domains_.emplace(domain, DomainState{std::move(disk.dictionary), {}}).first;
  }
  return &it->second;
}

void FilePreferenceStore::applyPending(const DomainState& state, plist::Dictionary& onto) const {
  for (const auto& [key, value] : state.pending) {
    if (value) {
      onto.set(key, *value);
    } else {
      onto.erase(key);
    }
  }
}

std::optional<plist::Value> FilePreferenceStore::copyAppValue(const std::string& key,
                                                              const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return std::nullopt;
  const plist::Value* value = state->view.find(key);
  if (value == nullptr) return std::nullopt;
  return *value;
}

void FilePreferenceStore::setAppValue(const std::string& key, std::optional<plist::Value> value,
                                      const std::string& domain) {
  DomainState* state = domainState(domain);
  if (state == nullptr) return;
  if (value) {
    state->view.set(key, *value);
  } else {
    state->view.erase(key);
  }
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
    DiskContents disk = readDomainFile(path);
    state->view = std::move(disk.dictionary);
    return disk.state != DiskState::Invalid;
  }
  if (!store(domain, *state)) {
    // Keep what this process set visible, on top of whatever could be read.
    DiskContents disk = readDomainFile(path);
    state->view = std::move(disk.dictionary);
    applyPending(*state, state->view);
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

  DiskContents disk = readDomainFile(path);
  if (disk.state == DiskState::Invalid) return false;
  plist::Dictionary merged = std::move(disk.dictionary);
  applyPending(state, merged);
  const std::optional<std::string> xml = plist::toXml(plist::Value(std::move(merged)));
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

  // Read back what is on disk now (still under the lock), so that the view shows
  // exactly what was stored.
  DiskContents stored = readDomainFile(path);
  if (stored.state != DiskState::Valid) return false;
  state.view = std::move(stored.dictionary);
  return true;
}

}  // namespace sonarell::preferences
