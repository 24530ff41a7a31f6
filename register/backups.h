#pragma once

// The names of Sonarell's backups and of what interrupted runs leave beside
// them: how new names are made, which of two backups was made first, and which
// hidden names belong to an unfinished run. Pure functions of names and times.
//
// New names carry a UTC time stamp and a sequence number one above every other
// number in the folder, so their order is the order they were made whatever the
// clock or time zone said:
//   Sonarell-<version>-<YYYYMMDD>T<HHMMSS>Z-<seq>.app
//   AppleEnabledInputSources-<YYYYMMDD>T<HHMMSS>Z-<seq>.plist
// The earlier install script named them in local time, with "-<n>" (n >= 2) for
// a name already taken:
//   Sonarell-<version>-<YYYYMMDD>-<HHMMSS>[-<n>].app
//   AppleEnabledInputSources-<YYYYMMDD>-<HHMMSS>[-<n>].plist
// Those come before every new name, and among themselves by stamp, then n.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sonarell::keyloom {

enum class BackupKind { Bundle, EnabledList };

struct BackupName {
  BackupKind kind = BackupKind::Bundle;
  bool sequenced = false;    // the new form
  std::string version;       // bundles only
  std::string stamp;         // the fourteen digits of date and time
  std::uint64_t number = 1;  // the sequence number, or the earlier form's n (1 when none)
};

// None for any other name (hidden names included).
std::optional<BackupName> ParseBackupName(std::string_view name);

// Whether `a` was made before `b`. Names that tie (only hand-made ones can)
// compare equal.
bool MadeBefore(const BackupName& a, const BackupName& b);

// The sequence number a folder entry holds: a new-form backup name, or the
// hidden copy or temporary file one is being made under.
std::optional<std::uint64_t> SequenceNumberIn(std::string_view entry);

// One above the highest sequence number among the entries (1 when there is
// none); none when that would not fit in a name.
std::optional<std::uint64_t> NextSequenceNumber(const std::vector<std::string>& entries);

// "YYYYMMDDTHHMMSSZ", in UTC.
std::string UtcStamp(std::chrono::system_clock::time_point time);

std::string BundleBackupName(std::string_view safeVersion, std::string_view stamp, std::uint64_t number);
std::string EnabledListBackupName(std::string_view stamp, std::uint64_t number);

// The version as part of a file name: every byte outside A-Z a-z 0-9 . _ -
// becomes "_", at most kMaxVersionBytes are kept, and an empty one reads "unknown".
inline constexpr std::size_t kMaxVersionBytes = 64;
std::string FileNameSafeVersion(std::string_view version);

// What an interrupted run may leave, by name. Nothing else in the two folders
// is ever taken for one.
enum class Leftover {
  None,
  Staging,        // input methods: ".Sonarell-staging.*", a copy being staged
  SetAside,       // input methods: ".Sonarell.app.sonarell-old-*", a version moved aside
  HiddenCopy,     // backups: ".<backup name>.sonarell-copy-XXXXXX", a backup being copied
  ListTemporary,  // backups: ".<backup name>.keyloom-XXXXXX", a list backup being written
  PendingHolder,  // backups: ".Sonarell-pending-<name>", the earlier script's unfinished backup
};
Leftover InputMethodsLeftover(std::string_view entry);
Leftover BackupsLeftover(std::string_view entry);

// The name of the enabled-list backup a holder of the earlier script was made
// for, when it is one; the file of that name inside it is kept.
std::optional<std::string> HeldListBackupName(std::string_view holder);

}  // namespace sonarell::keyloom
