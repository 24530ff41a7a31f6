#include "register/backups.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace sonarell::keyloom {

namespace {

constexpr std::string_view kBundlePrefix = "Sonarell-", kBundleExtension = ".app";
constexpr std::string_view kListPrefix = "AppleEnabledInputSources-", kListExtension = ".plist";
constexpr std::string_view kCopyInfix = ".sonarell-copy-", kTemporaryInfix = ".keyloom-";
constexpr std::string_view kStagingPrefix = ".Sonarell-staging.",
                           kSetAsidePrefix = ".Sonarell.app.sonarell-old-";
constexpr std::string_view kPendingPrefix = ".Sonarell-pending-";
// Eighteen digits always fit in 64 bits.
constexpr std::uint64_t kLargestNumber = 999'999'999'999'999'999;

bool digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int value(std::string_view twoOrFour) {
  int v = 0;
  for (char c : twoOrFour) v = v * 10 + (c - '0');
  return v;
}

// "YYYYMMDD" and "HHMMSS" of a time a clock could have given.
bool plausibleStamp(std::string_view date, std::string_view time) {
  if (date.size() != 8 || time.size() != 6 || !digits(date) || !digits(time)) return false;
  const int month = value(date.substr(4, 2)), day = value(date.substr(6, 2));
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && value(time.substr(0, 2)) <= 23 &&
         value(time.substr(2, 2)) <= 59 && value(time.substr(4, 2)) <= 60;
}

// A decimal number as a name writes it: no leading zero, at most eighteen digits.
std::optional<std::uint64_t> number(std::string_view text) {
  if (!digits(text) || text.size() > 18 || text.front() == '0') return std::nullopt;
  std::uint64_t n = 0;
  for (char c : text) n = n * 10 + static_cast<std::uint64_t>(c - '0');
  return n;
}

bool strip(std::string_view& text, std::string_view prefix, std::string_view suffix) {
  if (text.size() < prefix.size() + suffix.size() || !text.starts_with(prefix) || !text.ends_with(suffix))
    return false;
  text = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  return true;
}

// Splits "<head>-<last>" at the last "-".
bool splitLast(std::string_view text, std::string_view& head, std::string_view& last) {
  const std::size_t dash = text.rfind('-');
  if (dash == std::string_view::npos) return false;
  head = text.substr(0, dash);
  last = text.substr(dash + 1);
  return true;
}

// "<head>-YYYYMMDDTHHMMSSZ-<seq>" read from the end.
bool parseSequenced(std::string_view text, std::string_view& head, BackupName& name) {
  std::string_view rest, seq, stamp;
  if (!splitLast(text, rest, seq) || !splitLast(rest, head, stamp)) return false;
  const std::optional<std::uint64_t> n = number(seq);
  if (!n || stamp.size() != 16 || stamp[8] != 'T' || stamp[15] != 'Z') return false;
  if (!plausibleStamp(stamp.substr(0, 8), stamp.substr(9, 6))) return false;
  name.sequenced = true;
  name.stamp = std::string(stamp.substr(0, 8)) + std::string(stamp.substr(9, 6));
  name.number = *n;
  return true;
}

// "<head>-YYYYMMDD-HHMMSS[-<n>]" read from the end, n at least 2.
bool parseEarlier(std::string_view text, std::string_view& head, BackupName& name) {
  const auto stamped = [&](std::string_view part, std::uint64_t n) {
    std::string_view beforeTime, time, date;
    if (!splitLast(part, beforeTime, time) || !splitLast(beforeTime, head, date)) return false;
    if (!plausibleStamp(date, time)) return false;
    name.sequenced = false;
    name.stamp = std::string(date) + std::string(time);
    name.number = n;
    return true;
  };
  std::string_view part, last;
  if (splitLast(text, part, last)) {
    const std::optional<std::uint64_t> n = last.size() <= 6 ? number(last) : std::nullopt;
    if (n && *n >= 2 && stamped(part, *n)) return true;
  }
  return stamped(text, 1);
}

// ".<name><infix>XXXXXX" (six letters or digits): the name, or none.
std::optional<std::string_view> hiddenFor(std::string_view entry, std::string_view infix) {
  if (entry.size() < 1 + infix.size() + 6 || entry.front() != '.') return std::nullopt;
  const std::string_view suffix = entry.substr(entry.size() - 6);
  const bool alnum = std::all_of(suffix.begin(), suffix.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
  const std::string_view inner = entry.substr(1, entry.size() - 7);
  if (!alnum || !inner.ends_with(infix)) return std::nullopt;
  return inner.substr(0, inner.size() - infix.size());
}

}  // namespace

std::optional<BackupName> ParseBackupName(std::string_view text) {
  BackupName name;
  std::string_view head;
  if (std::string_view rest = text; strip(rest, kListPrefix, kListExtension)) {
    // No version before the stamp: the prefix ends with the "-" the stamp follows.
    const std::string anchored = "-" + std::string(rest);
    name.kind = BackupKind::EnabledList;
    if ((parseSequenced(anchored, head, name) || parseEarlier(anchored, head, name)) && head.empty())
      return name;
    return std::nullopt;
  }
  if (std::string_view rest = text; strip(rest, kBundlePrefix, kBundleExtension)) {
    name.kind = BackupKind::Bundle;
    if ((parseSequenced(rest, head, name) || parseEarlier(rest, head, name)) && !head.empty()) {
      name.version = std::string(head);
      return name;
    }
  }
  return std::nullopt;
}

bool MadeBefore(const BackupName& a, const BackupName& b) {
  // Sequenced names by their number alone, the earlier ones by what they say.
  const auto key = [](const BackupName& n) {
    return n.sequenced ? std::tuple(1, n.number, n.stamp) : std::tuple(0, std::uint64_t{0}, n.stamp);
  };
  const auto ka = key(a), kb = key(b);
  if (ka != kb) return ka < kb;
  return !a.sequenced && a.number < b.number;
}

std::optional<std::uint64_t> SequenceNumberIn(std::string_view entry) {
  std::string_view name = entry;
  if (auto copied = hiddenFor(entry, kCopyInfix)) name = *copied;
  if (auto written = hiddenFor(entry, kTemporaryInfix)) name = *written;
  const std::optional<BackupName> parsed = ParseBackupName(name);
  if (!parsed || !parsed->sequenced) return std::nullopt;
  return parsed->number;
}

std::optional<std::uint64_t> NextSequenceNumber(const std::vector<std::string>& entries) {
  std::uint64_t highest = 0;
  for (const std::string& entry : entries) highest = std::max(highest, SequenceNumberIn(entry).value_or(0));
  if (highest >= kLargestNumber) return std::nullopt;
  return highest + 1;
}

std::string UtcStamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  // A clock far off still gives a name of the form every reader takes.
  const sys_seconds first = sys_days(year(1) / January / 1), last = sys_days(year(9999) / December / 31);
  const sys_seconds at = std::clamp(floor<seconds>(time), first, last);
  const sys_days day = floor<days>(at);
  const year_month_day date(day);
  const hh_mm_ss clock(at - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string BundleBackupName(std::string_view safeVersion, std::string_view stamp, std::uint64_t number) {
  return std::string(kBundlePrefix) + std::string(safeVersion) + "-" + std::string(stamp) + "-" +
         std::to_string(number) + std::string(kBundleExtension);
}

std::string EnabledListBackupName(std::string_view stamp, std::uint64_t number) {
  return std::string(kListPrefix) + std::string(stamp) + "-" + std::to_string(number) +
         std::string(kListExtension);
}

std::string FileNameSafeVersion(std::string_view version) {
  std::string safe(version.substr(0, kMaxVersionBytes));
  for (char& c : safe) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-';
    if (!kept) c = '_';
  }
  return safe.empty() ? "unknown" : safe;
}

Leftover InputMethodsLeftover(std::string_view entry) {
  if (entry.size() > kStagingPrefix.size() && entry.starts_with(kStagingPrefix)) return Leftover::Staging;
  if (entry.size() > kSetAsidePrefix.size() && entry.starts_with(kSetAsidePrefix)) return Leftover::SetAside;
  return Leftover::None;
}

Leftover BackupsLeftover(std::string_view entry) {
  if (entry.size() > kPendingPrefix.size() && entry.starts_with(kPendingPrefix))
    return Leftover::PendingHolder;
  // Only for a name a backup has, so that a user's own hidden file is never one.
  const auto forBackup = [&](std::string_view infix) {
    const std::optional<std::string_view> name = hiddenFor(entry, infix);
    return name && ParseBackupName(*name);
  };
  if (forBackup(kCopyInfix)) return Leftover::HiddenCopy;
  if (forBackup(kTemporaryInfix)) return Leftover::ListTemporary;
  return Leftover::None;
}

std::optional<std::string> HeldListBackupName(std::string_view holder) {
  if (!holder.starts_with(kPendingPrefix)) return std::nullopt;
  const std::string_view name = holder.substr(kPendingPrefix.size());
  const std::optional<BackupName> parsed = ParseBackupName(name);
  if (!parsed || parsed->kind != BackupKind::EnabledList) return std::nullopt;
  return std::string(name);
}

}  // namespace sonarell::keyloom
