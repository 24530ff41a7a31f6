#pragma once

// The text-input services (TIS): input sources, their properties, registering a
// bundle's sources, and enabling or disabling one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist/value.h"

namespace sonarell::textinput {

// Property keys, as the platform names them.
inline constexpr std::string_view kTISPropertyInputSourceID = "TISPropertyInputSourceID";
inline constexpr std::string_view kTISPropertyInputSourceType = "TISPropertyInputSourceType";
inline constexpr std::string_view kTISPropertyInputSourceIsEnableCapable =
    "TISPropertyInputSourceIsEnableCapable";
inline constexpr std::string_view kTISPropertyInputSourceIsEnabled = "TISPropertyInputSourceIsEnabled";
inline constexpr std::string_view kTISPropertyBundleID = "TISPropertyBundleID";
inline constexpr std::string_view kTISPropertyLocalizedName = "TISPropertyLocalizedName";

inline constexpr std::string_view kTISTypeKeyboardInputMethodModeEnabled =
    "TISTypeKeyboardInputMethodModeEnabled";
inline constexpr std::string_view kTISTypeKeyboardInputMode = "TISTypeKeyboardInputMode";

inline constexpr std::string_view kTISNotifyEnabledKeyboardInputSourcesChanged =
    "com.apple.Carbon.TISNotifyEnabledKeyboardInputSourcesChanged";

// A snapshot of one input source as the list was made.
struct InputSource {
  plist::Dictionary properties;
  const plist::Value* property(std::string_view key) const { return properties.find(key); }
};

using InputSourceList = std::vector<InputSource>;

class TextInputServices {
 public:
  virtual ~TextInputServices() = default;
  // Registers the input sources of the bundle at the path; 0 on success.
  virtual std::int32_t registerInputSource(const std::string& bundlePath) = 0;
  // Sources whose properties equal every pair of the filter; none when no list can be made.
  virtual std::optional<InputSourceList> createInputSourceList(const plist::Dictionary& filter,
                                                               bool includeAllInstalled) = 0;
  // 0 on success.
  virtual std::int32_t enableInputSource(const InputSource& source) = 0;
  // 0 on success; the source is no longer among the enabled ones.
  virtual std::int32_t disableInputSource(const InputSource& source) = 0;
  // Why the last call that returned a failure status failed, in words, where the
  // implementation can tell; empty otherwise.
  virtual std::string lastFailure() const { return {}; }
};

}  // namespace sonarell::textinput
