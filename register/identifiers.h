#pragma once

// The fixed names and texts of the registration tool. Every text here reaches the
// install script's log byte for byte, so they live in one place.

#include <string_view>

namespace sonarell::keyloom {

inline constexpr std::string_view BundleID = "org.quennet.inputmethod.Sonarell";
inline constexpr std::string_view ModeID = "org.quennet.inputmethod.Sonarell.Hans";

// Relative to the user's home folder.
inline constexpr std::string_view kInstalledContentsRelative = "Library/Input Methods/Sonarell.app/Contents";

inline constexpr std::string_view kExchangeOption = "--exchange-contents";
inline constexpr std::string_view kCheckOption = "--check";
inline constexpr std::string_view kRepairOption = "--repair-enabled-list";
inline constexpr std::string_view kRemoveOption = "--remove-enabled-entries";

// The forms that carry the install script's file work; each is the first argument.
inline constexpr std::string_view kLockedOption = "--locked";
inline constexpr std::string_view kCopyTreeOption = "--copy-tree";
inline constexpr std::string_view kBackUpOption = "--back-up";
inline constexpr std::string_view kMoveToBackupsOption = "--move-to-backups";
inline constexpr std::string_view kListBackupNameOption = "--list-backup-name";
inline constexpr std::string_view kNewestBackupOption = "--newest-backup";
inline constexpr std::string_view kSweepOption = "--sweep";
inline constexpr std::string_view kBundleVersionOption = "--bundle-version";
inline constexpr std::string_view kOpenOption = "--open";

// The descriptor and variable through which the locked program holds the install lock.
inline constexpr int kInstallLockFd = 9;
inline constexpr std::string_view kInstallLockFdVariable = "SONARELL_INSTALL_LOCK_FD";
// The status of a locked run that gave up waiting for another install (EX_TEMPFAIL).
inline constexpr int kLockTimedOutStatus = 75;

inline constexpr std::string_view kHIToolboxDomain = "com.apple.HIToolbox";
inline constexpr std::string_view kEnabledInputSourcesKey = "AppleEnabledInputSources";

// Keys and values of the records in the enabled-source list.
inline constexpr std::string_view kInputSourceKindKey = "InputSourceKind";
inline constexpr std::string_view kBundleIDKey = "Bundle ID";
inline constexpr std::string_view kInputModeKey = "Input Mode";
inline constexpr std::string_view kKindKeyboardInputMethod = "Keyboard Input Method";
inline constexpr std::string_view kKindInputMode = "Input Mode";

// Waits, in seconds.
inline constexpr double kSettleWait = 1.0;
inline constexpr double kRefreshWait = 0.5;

}  // namespace sonarell::keyloom
