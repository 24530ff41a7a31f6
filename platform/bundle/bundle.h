#pragma once

// Application bundles: a folder with Contents/Info.plist whose top level is a dictionary.

#include <optional>
#include <string>

#include "platform/plist/value.h"

namespace sonarell::bundle {

std::string infoPlistPath(const std::string& bundlePath);

// The information dictionary; none when the folder is no bundle.
std::optional<plist::Dictionary> infoDictionary(const std::string& bundlePath);

// CFBundleIdentifier when it is a string; none otherwise.
std::optional<std::string> identifier(const std::string& bundlePath);

}  // namespace sonarell::bundle
