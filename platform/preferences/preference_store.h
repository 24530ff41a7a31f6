#pragma once

// The per-user preference store, with CFPreferences' application-value semantics:
// copy reads the process's view of a domain, set changes only that view, and
// synchronise stores what was set and brings the view up to date.

#include <optional>
#include <string>

#include "platform/plist/value.h"

namespace sonarell::preferences {

class PreferenceStore {
 public:
  virtual ~PreferenceStore() = default;
  virtual std::optional<plist::Value> copyAppValue(const std::string& key, const std::string& domain) = 0;
  // An absent value removes the key.
  virtual void setAppValue(const std::string& key, std::optional<plist::Value> value,
                           const std::string& domain) = 0;
  virtual bool synchronize(const std::string& domain) = 0;
  // Why the last synchronize failed, in words, where the store can tell; empty
  // otherwise.
  virtual std::string lastFailure() const { return {}; }
};

}  // namespace sonarell::preferences
