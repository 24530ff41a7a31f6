#include "register/install_forms.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/bundle/bundle.h"
#include "platform/fs/file_access.h"
#include "platform/fs/file_type.h"
#include "platform/fs/folder_entries.h"
#include "platform/fs/lock_file.h"
#include "platform/fs/paths.h"
#include "platform/fs/read_file.h"
#include "platform/fs/tree.h"
#include "platform/plist/codec.h"
#include "platform/process/replace_process.h"
#include "platform/random/random_bytes.h"
#include "register/backups.h"
#include "register/identifiers.h"

namespace sonarell::keyloom {

namespace {

// An Info.plist is a few kilobytes; a saved enabled list at most what the
// preference store reads.
constexpr std::size_t kMaxInfoPlistBytes = 1 << 20;
constexpr std::size_t kMaxListBackupBytes = 64 << 20;
// How many names a form tries when another process takes the one it chose.
constexpr int kNameAttempts = 100;

void line(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fputc('\n', stream);
}

std::string errnoText(int error) { return std::strerror(error); }

// A folder that is no link, with a Contents folder that is no link.
bool realBundleFolder(const std::string& path) {
  return fs::fileTypeAt(path) == fs::FileType::Directory &&
         fs::fileTypeAt(fs::appendingPathComponent(path, "Contents")) == fs::FileType::Directory;
}

// A path in `folder` for a new backup: `name(number)` with the next sequence
// number, where nothing is.
Result<std::string> newBackupPath(const std::string& folder,
                                  const std::function<std::string(std::uint64_t)>& name) {
  Result<std::vector<std::string>> entries = fs::folderEntries(folder);
  if (!entries) return entries.error();
  std::optional<std::uint64_t> number = NextSequenceNumber(entries.value());
  for (int attempt = 0; number && attempt < kNameAttempts; ++attempt, number = *number + 1) {
    const std::string path = fs::appendingPathComponent(folder, name(*number));
    if (fs::nothingAt(path)) return path;
  }
  return Failure{"no free name is left for a new backup in " + folder};
}

std::optional<std::chrono::milliseconds> parseSeconds(std::string_view text) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  const auto digits = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || whole.size() > 5 || !digits(whole) || !digits(fraction)) return std::nullopt;
  if (point != std::string_view::npos && fraction.empty()) return std::nullopt;
  long long ms = std::stoll(std::string(whole)) * 1000;
  long long scale = 100;
  for (std::size_t i = 0; i < fraction.size() && scale > 0; ++i, scale /= 10)
    ms += (fraction[i] - '0') * scale;
  if (ms > 86'400'000) return std::nullopt;
  return std::chrono::milliseconds(ms);
}

std::string openErrorText(const workspace::OpenError& error) {
  const std::string why = error.posixError != 0 ? " (" + errnoText(error.posixError) + ")" : "";
  switch (error.kind) {
    case workspace::OpenError::Kind::NoBundle:
      return error.path + " is not an application bundle" + why;
    case workspace::OpenError::Kind::NoExecutable:
      return error.path + " has no executable to start" + why;
    case workspace::OpenError::Kind::LaunchFailed:
      return "starting " + error.path + " failed" + why;
  }
  return "it could not be opened";
}

}  // namespace

std::string FormUsage(std::string_view option) {
  const auto usage = [&](std::string_view operands) {
    return "Usage: Keyloom " + std::string(option) + " " + std::string(operands) + "\n";
  };
  if (option == kLockedOption) return usage("<lock-file> <seconds> </absolute/program> [<argument>...]");
  if (option == kCopyTreeOption) return usage("<from> <to>");
  if (option == kBackUpOption || option == kMoveToBackupsOption) return usage("<bundle> <backups-folder>");
  if (option == kListBackupNameOption) return usage("<backups-folder>");
  if (option == kNewestBackupOption) return usage("<backups-folder> [<installed-bundle>]");
  if (option == kSweepOption) return usage("<input-methods-folder> <backups-folder>");
  if (option == kBundleVersionOption || option == kOpenOption) return usage("<bundle>");
  if (option == kRemoveOption) return usage("<backup-path>");
  return "";
}

int RunLocked(const std::string& lockFile, const std::string& seconds,
              const std::vector<std::string>& program, Streams streams) {
  const std::optional<std::chrono::milliseconds> wait = parseSeconds(seconds);
  if (!wait || lockFile.empty() || program.empty() || !program.front().starts_with('/')) {
    std::fputs(FormUsage(kLockedOption).c_str(), streams.err);
    return 2;
  }
  bool waited = false;
  Result<fs::UniqueFd, fs::LockFailure> lock = fs::lockFile(lockFile, *wait, [&] {
    if (!std::exchange(waited, true)) line(streams.out, "Waiting for another install of Sonarell to finish");
  });
  if (!lock) {
    line(streams.err, lock.error().reason);
    return lock.error().kind == fs::LockFailure::Kind::TimedOut ? kLockTimedOutStatus : 1;
  }
  const Failure failure =
      process::replaceProcess(program, lock.value(), kInstallLockFd,
                              {{std::string(kInstallLockFdVariable), std::to_string(kInstallLockFd)}});
  line(streams.err, "Could not start " + program.front() + ": " + failure.reason);
  return 1;
}

int CopyTree(const std::string& from, const std::string& to, Streams streams) {
  const Outcome copied = fs::copyTree(from, to, fs::CopyModes::OwnerWritable);
  if (copied) return 0;
  line(streams.err, "Could not copy " + from + " to " + to + ": " + copied.error().reason);
  return 1;
}

int BackUp(const std::string& bundle, const std::string& folder, std::chrono::system_clock::time_point now,
           Streams streams) {
  const std::string version = BundleVersion(bundle), stamp = UtcStamp(now);
  const auto named = [&](std::uint64_t n) { return BundleBackupName(version, stamp, n); };
  const auto fail = [&](const std::string& reason) {
    line(streams.err, "Could not back up " + bundle + " in " + folder + ": " + reason);
    return 1;
  };
  Result<std::string> path = newBackupPath(folder, named);
  if (!path) return fail(path.error().reason);
  // Hidden until it is whole, so that a backup under its own name is always a whole one.
  const std::string copy =
      fs::appendingPathComponent(folder, "." + fs::lastPathComponent(path.value()) + ".sonarell-copy-" +
                                             random::randomLettersAndDigits());
  if (const Outcome copied = fs::copyTree(bundle, copy, fs::CopyModes::Keep); !copied) {
    return fail(copied.error().reason);
  }
  std::string reason = "every name tried was taken";
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const auto moved = fs::moveWithoutReplacing(copy, path.value());
    if (moved) {
      line(streams.out, path.value());
      return 0;
    }
    if (moved.error().error != EEXIST) {
      reason = "cannot give the copy " + copy + " its name " + path.value() + ": " +
               errnoText(moved.error().error);
      break;
    }
    // Taken meanwhile: the next name is above it (and above the hidden copy's).
    path = newBackupPath(folder, named);
    if (!path) {
      reason = path.error().reason;
      break;
    }
  }
  const Outcome removed = fs::removeTree(copy);
  return fail(removed ? reason : reason + "; " + removed.error().reason);
}

int MoveToBackups(const std::string& bundle, const std::string& folder,
                  std::chrono::system_clock::time_point now, Streams streams) {
  const std::string version = BundleVersion(bundle), stamp = UtcStamp(now);
  const Result<std::string> path =
      newBackupPath(folder, [&](std::uint64_t n) { return BundleBackupName(version, stamp, n); });
  const auto fail = [&](const std::string& reason) {
    line(streams.err, "Could not move " + bundle + " into " + folder + ": " + reason +
                          "; the installed version is where it was");
    return 1;
  };
  if (!path) return fail(path.error().reason);
  const Result<fs::MovedTree> moved = fs::moveTree(bundle, path.value());
  if (!moved) return fail(moved.error().reason);
  line(streams.out, path.value());
  if (moved.value().leftover) {
    line(streams.err, "Moved " + bundle + " to " + path.value() + ", but could not remove " +
                          *moved.value().leftover + "; it is still there");
  }
  return 0;
}

int ListBackupName(const std::string& folder, std::chrono::system_clock::time_point now, Streams streams) {
  const std::string stamp = UtcStamp(now);
  const Result<std::string> path =
      newBackupPath(folder, [&](std::uint64_t n) { return EnabledListBackupName(stamp, n); });
  if (!path) {
    line(streams.err, "Could not choose a name for a new backup in " + folder + ": " + path.error().reason);
    return 1;
  }
  line(streams.out, path.value());
  return 0;
}

int NewestBackup(const std::string& folder, const std::optional<std::string>& installed, Streams streams) {
  const std::string none = "There is no backup of Sonarell in " + folder + " to restore";
  if (fs::nothingAt(folder)) {
    line(streams.err, none);
    return 1;
  }
  const Result<std::vector<std::string>> entries = fs::folderEntries(folder);
  if (!entries) {
    line(streams.err, "Could not look for backups of Sonarell: " + entries.error().reason);
    return 1;
  }
  std::vector<std::pair<BackupName, std::string>> backups;
  for (const std::string& entry : entries.value()) {
    std::optional<BackupName> name = ParseBackupName(entry);
    if (name && name->kind == BackupKind::Bundle) backups.emplace_back(std::move(*name), entry);
  }
  // Newest first; names that tie by what they say, by the name itself.
  std::sort(backups.begin(), backups.end(), [](const auto& a, const auto& b) {
    if (MadeBefore(b.first, a.first) || MadeBefore(a.first, b.first)) return MadeBefore(b.first, a.first);
    return a.second > b.second;
  });
  const bool compare = installed && !fs::nothingAt(*installed);
  for (const auto& [name, entry] : backups) {
    const std::string path = fs::appendingPathComponent(folder, entry);
    if (!realBundleFolder(path)) continue;
    // Restoring a copy of what is installed would change nothing.
    if (compare && !fs::treeDifference(path, *installed)) continue;
    line(streams.out, path);
    return 0;
  }
  line(streams.err, none);
  return 1;
}

namespace {

class Sweeper {
 public:
  Sweeper(std::chrono::system_clock::time_point now, Streams streams) : now_(now), streams_(streams) {}

  // False when the folder is there but cannot be looked through.
  bool sweep(const std::string& folder, Leftover (*classify)(std::string_view)) {
    if (fs::nothingAt(folder)) return true;
    Result<std::vector<std::string>> entries = fs::folderEntries(folder);
    if (!entries) {
      line(streams_.err, "Could not look for what interrupted earlier runs left: " + entries.error().reason);
      return false;
    }
    std::sort(entries.value().begin(), entries.value().end());
    for (const std::string& entry : entries.value()) {
      const Leftover kind = classify(entry);
      if (kind == Leftover::None) continue;
      const std::string path = fs::appendingPathComponent(folder, entry);
      if (kind == Leftover::PendingHolder && !keepListBackup(folder, path, entry)) continue;
      remove(path);
    }
    return true;
  }

 private:
  void remove(const std::string& path) {
    if (fs::removeTree(path)) {
      line(streams_.out, "Removing what an interrupted earlier run left, " + path + ": done");
    } else {
      line(streams_.out, "Removing " + path + ": failed, it is still there");
    }
  }

  // The earlier script's holder of an enabled-list backup: the list in it was
  // written whole before the list was changed, so it may be the only copy of the
  // list as it was. It gets a name of its own in the folder; false (the holder
  // stays) when it cannot.
  bool keepListBackup(const std::string& folder, const std::string& holder, const std::string& entry) {
    const std::optional<std::string> name = HeldListBackupName(entry);
    if (!name) return true;
    const std::string held = fs::appendingPathComponent(holder, *name);
    if (fs::fileTypeAt(held) != fs::FileType::Regular) return true;
    const auto bytes = fs::readRegularFile(held, kMaxListBackupBytes);
    if (!bytes || !plist::parse(bytes.value())) return true;

    // Its own name, unless that is taken: then a new one.
    std::string target = fs::appendingPathComponent(folder, *name);
    if (!fs::nothingAt(target)) {
      const std::string stamp = UtcStamp(now_);
      const Result<std::string> fresh =
          newBackupPath(folder, [&](std::uint64_t n) { return EnabledListBackupName(stamp, n); });
      target = fresh ? fresh.value() : std::string();
    }
    if (target.empty() || !fs::moveWithoutReplacing(held, target).ok()) {
      line(streams_.out, "Keeping the backup of the enabled input sources " + held +
                             " under its own name: failed, it stays where it is");
      return false;
    }
    line(streams_.out, "Keeping the backup of the enabled input sources at " + target);
    return true;
  }

  std::chrono::system_clock::time_point now_;
  Streams streams_;
};

}  // namespace

int Sweep(const std::string& inputMethods, const std::string& backups,
          std::chrono::system_clock::time_point now, Streams streams) {
  Sweeper sweeper(now, streams);
  const bool first = sweeper.sweep(inputMethods, &InputMethodsLeftover);
  const bool second = sweeper.sweep(backups, &BackupsLeftover);
  return first && second ? 0 : 1;
}

std::string BundleVersion(const std::string& bundle) {
  const auto bytes = fs::readRegularFile(bundle::infoPlistPath(bundle), kMaxInfoPlistBytes);
  const std::optional<plist::Value> info = bytes ? plist::parse(bytes.value()) : std::nullopt;
  const plist::Dictionary* dictionary = info ? info->asDictionary() : nullptr;
  const plist::Value* version = dictionary ? dictionary->find("CFBundleShortVersionString") : nullptr;
  const std::string* text = version ? version->asString() : nullptr;
  return FileNameSafeVersion(text ? *text : "");
}

int PrintBundleVersion(const std::string& bundle, Streams streams) {
  line(streams.out, BundleVersion(bundle));
  return 0;
}

int OpenBundle(const std::string& bundle, workspace::Workspace& workspace, Streams streams,
               std::chrono::milliseconds wait) {
  // Shared with the completion, which may come after this form has given up.
  struct Opening {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<Result<void, workspace::OpenError>> result;
  };
  const auto outcome = std::make_shared<Opening>();
  workspace.openApplication(bundle, {}, [outcome](Result<void, workspace::OpenError> opened) {
    const std::lock_guard<std::mutex> hold(outcome->mutex);
    outcome->result = std::move(opened);
    outcome->done.notify_all();
  });
  std::unique_lock<std::mutex> hold(outcome->mutex);
  if (!outcome->done.wait_for(hold, wait, [&] { return outcome->result.has_value(); })) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", std::chrono::duration<double>(wait).count());
    line(streams.err,
         "Could not open " + bundle + ": its start was not reported within " + seconds + " seconds");
    return 1;
  }
  if (outcome->result->ok()) return 0;
  line(streams.err, "Could not open " + bundle + ": " + openErrorText(outcome->result->error()));
  return 1;
}

}  // namespace sonarell::keyloom
