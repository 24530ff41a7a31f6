#pragma once

// The text-input services on Linux. Input sources come from the Info.plist of
// registered bundles, read afresh on every call; the enabled state lives in the
// user's AppleEnabledInputSources of com.apple.HIToolbox, as on the platform.
// Like the separate service it stands in for, it keeps no state between calls:
// each call reads the preference files anew through a store of its own.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/textinput/text_input_services.h"

namespace sonarell::textinput {

inline constexpr std::int32_t kParamErr = -50;
// The enabled-source preference or the registry could not be written.
inline constexpr std::int32_t kWritePermissionErr = -61;

inline constexpr const char* kHIToolboxDomain = "com.apple.HIToolbox";
inline constexpr const char* kEnabledInputSourcesKey = "AppleEnabledInputSources";

class LinuxTextInputServices final : public TextInputServices {
 public:
  explicit LinuxTextInputServices(std::string homeDirectory);

  // kParamErr when the path is no bundle with a (non-empty) identifier, or the
  // registry holds something it does not understand; kWritePermissionErr when the
  // registry cannot be written.
  std::int32_t registerInputSource(const std::string& bundlePath) override;

  // None only when the registry holds something other than a list of paths.
  std::optional<InputSourceList> createInputSourceList(const plist::Dictionary& filter,
                                                       bool includeAllInstalled) override;

  // 0 when the source's record is in the enabled list afterwards (written now or
  // already there). kParamErr, with nothing written, for a source of unknown type,
  // a source no registered bundle provides any longer, or an enabled list that is
  // not an array (or a preference file that cannot be read); kWritePermissionErr
  // when the write fails.
  std::int32_t enableInputSource(const InputSource& source) override;

  // The inverse: 0 when no record of the source is in the enabled list afterwards
  // (every matching record taken out now, every other element kept in its place,
  // or none there; a missing list stays missing). The same failures as enabling,
  // with nothing written.
  std::int32_t disableInputSource(const InputSource& source) override;

  // The preference store's reason when enabling or disabling failed because the
  // enabled list could not be read or stored; empty for the other failures and
  // after a success.
  std::string lastFailure() const override { return lastFailure_; }

 private:
  // Checks the source as both calls do, then hands the enabled list (empty when
  // there is none) and the source's record to `edit`, and stores the list when
  // `edit` says it changed it.
  template <typename Edit>
  std::int32_t editEnabledList(const InputSource& source, Edit edit);

  std::string homeDirectory_;
  std::string lastFailure_;
};

// The record in AppleEnabledInputSources that stands for the source, exactly as
// it is written when the source is enabled; none for a source of unknown type or
// without the identifiers the record needs.
std::optional<plist::Dictionary> enabledRecordFor(const InputSource& source);

}  // namespace sonarell::textinput
