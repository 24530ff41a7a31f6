#pragma once

// The repair of the user's enabled-source list: our two records present, every
// other record in its place, a backup first, and a check for other writers
// before and after every write.

#include <optional>
#include <string>

#include "platform/plist/value.h"
#include "register/output.h"
#include "register/services.h"

namespace sonarell::keyloom {

plist::Dictionary ParentRecord();
plist::Dictionary ModeRecord();

// Every key of the record holds an equal value in the element; further keys of
// the element do not matter.
bool Matches(const plist::Dictionary& element, const plist::Dictionary& record);

// Not one of ours: its "Bundle ID" is missing or differs from our identifier.
bool IsForeign(const plist::Value& element);

// The list as this process sees it, and after synchronising, which picks up what
// other writers stored meanwhile.
std::optional<plist::Value> ReadEnabledList(preferences::PreferenceStore& store);
std::optional<plist::Value> SynchronizeAndReadEnabledList(preferences::PreferenceStore& store);

// The value is the foreign entries of `list`, in their order, compared without
// building that list.
bool HoldsForeignOf(const std::optional<plist::Value>& value, const plist::Array& list);

// The backup is written once, as a new file; anything already at the path, a
// path that is no text, or a folder that cannot take it refuses it. It is an XML
// property list, unless the list holds what only the binary form carries
// unaltered (read from a binary preference file): then it is binary, so that it
// still holds the list exactly as read.
bool WriteEnabledListBackup(const std::string& backupPath, const plist::Value& list);

// The list as read with whichever of our records are missing appended, parent
// first; none unless the value is an array of dictionaries.
std::optional<plist::Array> EnabledListWithOurs(const std::optional<plist::Value>& value);

// Whether the list as stored now has a shape the repair can work on. A missing
// list passes: enabling our sources creates it. Asked before anything is
// registered or enabled, so that a refusal leaves every preference as it was.
bool EnabledListCanBeRepaired(preferences::PreferenceStore& store);

// True when the wanted list is written, read back equal and announced.
bool RepairEnabledList(const std::string& backupPath, Services& services, Streams streams);

}  // namespace sonarell::keyloom
