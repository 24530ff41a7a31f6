#pragma once

// Preferences kept as one property-list file per domain:
//   <home>/Library/Preferences/<domain>.plist
// holding a dictionary, read in XML or binary form and written back in the form
// it was read in (a new file is XML).
//
// The process's view of a domain is loaded on first use and changes only through
// setAppValue (which also remembers the key as pending) and synchronize. A
// successful synchronize locks the domain against other processes, checks that
// no pending key changed on disk since this process's view of it was read,
// merges the pending keys onto the file as it is now, replaces the file
// atomically when that changes anything, reloads the view from disk and forgets
// the pending keys.
//
// A failed synchronize (returns false, lastFailure() says why) leaves the file as
// it was and keeps the pending keys, both in the view and for the next
// synchronize, as CFPreferences does. A key another writer changed since this
// process read it stays in conflict for this instance: its change is never
// overwritten by a value chosen without seeing it.
//
// The domain file is the user's file:
//  - anything but a regular file at the domain path (a folder, a FIFO, a device)
//    is refused without being opened for reading and never replaced, and so is a
//    file that is no property-list dictionary or is implausibly large;
//  - a symbolic link is followed: its target is read, and replaced by the new
//    file (written beside the target), so the link keeps pointing at the domain;
//    a dangling link is refused and nothing is created;
//  - the replacement keeps the file's mode, and its owner and extended attributes
//    as far as the process may set them; it is a new file, so other hard links
//    to the old one keep the old contents;
//  - temporary files (".<file>.sonarell-store-" and six letters or digits) are
//    made only while the domain's lock is held, and those a writer killed mid-way
//    left behind are removed by the next synchronize that takes the lock: regular
//    files of exactly that form, nothing else;
//  - the lock (".<file>.lock") is waited for a bounded time; a lock file the
//    process may only read serves as well, anything but a file there is refused;
//  - right before the replacement the file is looked at once more: changed (or,
//    where there was none, created) by a writer that ignores the lock, the merge
//    starts over from a fresh read, a bounded number of times.
// A missing or empty file is an empty domain. Domain names that are empty, ".", ".." or
// contain "/" or a NUL are refused: copy gives none and synchronize fails. So
// does every call when the store was made with an empty home folder.
//
// Values that the file's form cannot carry make synchronize fail rather than
// being written altered.
//
// Not thread-safe: one instance belongs to one thread. Separate processes (or
// instances) are safe against each other.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist/value.h"
#include "platform/preferences/preference_store.h"

namespace sonarell::preferences {

// How long synchronise waits for another writer to release the domain's lock.
// A writer holds it for one read, merge and write of the file: milliseconds for
// a preference file, about a tenth of a second for the longest enabled-source
// lists measured. Ten seconds absorbs a slow disk's flush and a queue of such
// writers, yet a lock that is never released (a stopped or stuck process) ends
// the write with a reason before the person at the installer gives up on it.
inline constexpr std::chrono::milliseconds kDefaultLockWait{10'000};

class FilePreferenceStore final : public PreferenceStore {
 public:
  explicit FilePreferenceStore(std::string homeDirectory,
                               std::chrono::milliseconds lockWait = kDefaultLockWait);

  std::optional<plist::Value> copyAppValue(const std::string& key, const std::string& domain) override;
  void setAppValue(const std::string& key, std::optional<plist::Value> value,
                   const std::string& domain) override;
  bool synchronize(const std::string& domain) override;

  // The file that holds the domain; none for a refused domain name.
  std::optional<std::string> domainFilePath(const std::string& domain) const;

  // Called after a new domain file is written and flushed, right before the
  // last look at the old one and its replacement: the moment another writer's
  // change is hardest to notice, for tests to put one there.
  void setBeforeReplace(std::function<void()> hook) { beforeReplace_ = std::move(hook); }

  // Why the last synchronize of this instance failed; empty after a success.
  std::string lastFailure() const override { return lastFailure_; }

  // A domain file's bytes, the form they are in and the dictionary they hold.
  // Immutable once made, so that stores of this process (the text-input stand-in
  // makes one per call) can share the parse of a file none of them changed.
  struct Snapshot;

 private:
  struct PendingKey {
    std::string key;
    // None removes the key.
    std::optional<plist::Value> value;
    // The domain as this instance had read it when the key was first set since
    // the last successful synchronize: what the change was based on.
    std::shared_ptr<const Snapshot> base;
  };

  struct DomainState {
    bool loaded = false;
    // The domain as last read from disk; none when missing or unusable (an empty
    // domain). The process's view is this with the pending keys laid over it.
    std::shared_ptr<const Snapshot> disk;
    // Keys set since the last successful synchronize, in the order first set.
    std::vector<PendingKey> pending;
  };

  // The domain's state, loaded from disk on first use; none for a refused name.
  DomainState* domainState(const std::string& domain);
  // Brings `disk` up to date with the file; false (with lastFailure_) when the
  // file exists but is unusable.
  bool refresh(DomainState& state, const std::string& path);
  bool store(DomainState& state, const std::string& path);
  enum class Attempt { Stored, Failed, ChangedMeanwhile };
  // One read, merge and replacement under the lock; ChangedMeanwhile when the
  // file changed after it was read, before the replacement.
  Attempt storeAttempt(DomainState& state, const std::string& path, const std::string& target,
                       const std::string& folder, const std::string& name);

  std::string home_;
  std::chrono::milliseconds lockWait_;
  std::function<void()> beforeReplace_;
  std::map<std::string, DomainState> domains_;
  std::string lastFailure_;
};

}  // namespace sonarell::preferences
