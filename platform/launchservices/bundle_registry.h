#pragma once

// The record of registered bundles that the Linux stand-ins for Launch Services
// and the text-input services keep, one key per service, in a preference domain
// of their own. Each key holds an array of absolute standardised paths in
// registration order, without duplicates.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/preferences/preference_store.h"

namespace sonarell::launchservices {

inline constexpr const char* kRegistryDomain = "org.quennet.sonarell.LinuxRegistry";
inline constexpr const char* kLaunchServicesKey = "LSRegisteredBundles";
inline constexpr const char* kTextInputKey = "TISRegisteredBundles";

// The path made absolute (against the working folder) and standardised; none
// when it is empty or not valid UTF-8.
std::optional<std::string> absoluteStandardPath(std::string_view path);

enum class RegistryResult { Recorded, Unreadable, WriteFailed };

// Appends the path unless it is there already (a path registered again keeps its
// place). Unreadable when the key holds something other than an array: the stand-in
// will not overwrite a registry it does not understand.
RegistryResult recordBundle(preferences::PreferenceStore& store, const std::string& key,
                            const std::string& absolutePath);

// The registered paths in order; elements that are not strings are skipped. None
// when the key holds something other than an array; empty when it is absent.
std::optional<std::vector<std::string>> registeredBundles(preferences::PreferenceStore& store,
                                                          const std::string& key);

}  // namespace sonarell::launchservices
