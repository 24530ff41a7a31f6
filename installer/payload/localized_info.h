#pragma once

// A value of a bundle's information dictionary as the bundle shows it to the
// user: where the bundle localises the key (an InfoPlist.strings table in a
// <language>.lproj folder of Contents/Resources), the localised text.

#include <QString>
#include <QStringList>
#include <optional>
#include <string>

namespace sonarell::installer {

// The text under `key`: from the table of the first of `languages` (best first,
// as BCP 47 tags such as "zh-Hans-CN") that the bundle localises and that holds
// the key, then from the table of the bundle's development region
// (CFBundleDevelopmentRegion), then from Contents/Info.plist. None when none of
// them holds text under the key, or the folder is no bundle.
std::optional<QString> localizedInfoString(const std::string& bundlePath, const std::string& key,
                                           const QStringList& languages);

}  // namespace sonarell::installer
