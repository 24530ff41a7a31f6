#pragma once

// Preferences kept as one property-list file per domain:
//   <home>/Library/Preferences/<domain>.plist
// holding a dictionary (read in XML or binary form, always written as XML).
//
// The process's view of a domain is loaded on first use and changes only through
// setAppValue (which also remembers the key as pending) and synchronize. A
// successful synchronize locks the domain against other processes, merges the
// pending keys onto the file as it is now, replaces the file atomically when
// anything was pending, reloads the view from disk and forgets the pending keys.
//
// A failed synchronize (returns false) leaves the file as it was and keeps the
// pending keys, both in the view and for the next synchronize, as CFPreferences
// does: a later successful synchronize of this instance still stores them (there
// is no call that forgets them; a process that gives up simply ends). The one
// failure that comes too late to undo is the final flush of the folder after the
// new file was renamed into place: the file then holds the merged domain, and a
// retry writes the same keys again.
//
// A domain file that exists but cannot be read or is not a property-list
// dictionary is never overwritten: synchronize fails, and no value stored in it
// is visible (values set by this process stay in its view, as above). A missing
// file is an empty domain. Domain names that are empty, ".", ".." or contain "/"
// or a NUL are refused: copy gives none and synchronize fails. So does every call
// when the store was made with an empty home folder.
//
// Values that an XML property list cannot carry (strings that are not UTF-8 or
// hold control characters, dates out of range) make synchronize fail rather than
// being written altered.
//
// Not thread-safe: one instance belongs to one thread. Separate processes (or
// instances) are safe against each other.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/plist/value.h"
#include "platform/preferences/preference_store.h"

namespace sonarell::preferences {

class FilePreferenceStore final : public PreferenceStore {
 public:
  explicit FilePreferenceStore(std::string homeDirectory);

  std::optional<plist::Value> copyAppValue(const std::string& key, const std::string& domain) override;
  void setAppValue(const std::string& key, std::optional<plist::Value> value,
                   const std::string& domain) override;
  bool synchronize(const std::string& domain) override;

  // The file that holds the domain; none for a refused domain name.
  std::optional<std::string> domainFilePath(const std::string& domain) const;

 private:
  // A domain file's bytes and the dictionary they hold. Immutable once made, so
  // that stores of this process (the text-input stand-in makes one per call) can
  // share the parse of a file none of them changed.
  struct Snapshot {
    std::string bytes;
    plist::Dictionary dictionary;
  };

  struct DomainState {
    // The domain as last read from disk; none when missing or unusable (an empty
    // domain). The process's view is this with the pending keys laid over it.
    std::shared_ptr<const Snapshot> disk;
    // Keys set since the last successful synchronize, in the order first set;
    // an absent value is a removal.
    std::vector<std::pair<std::string, std::optional<plist::Value>>> pending;
  };

  DomainState* domainState(const std::string& domain);
  // Brings `disk` up to date with the file; false when the file exists but is unusable.
  bool refresh(DomainState& state, const std::string& path) const;
  bool store(const std::string& domain, DomainState& state);

  std::string home_;
  std::map<std::string, DomainState> domains_;
};

}  // namespace sonarell::preferences
