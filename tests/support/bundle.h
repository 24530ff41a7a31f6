#pragma once

// Bundles, Info.plist files and enabled-input-source lists as the tests need
// them, written and read through the product's own property-list layer.

#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/plist/codec.h"
#include "tests/support/scratch.h"

namespace sonarell::test {

inline const std::string kInputMethodId = "org.quennet.inputmethod.Sonarell";
inline const std::string kInputModeId = kInputMethodId + ".Hans";

inline std::string xmlOf(const plist::Value& value) {
  const auto text = plist::toXml(value);
  if (!text) throw std::runtime_error("cannot write the property list");
  return *text;
}

// Writes `info` as <app>/Contents/Info.plist (XML), making the folders.
inline void writeInfoPlist(const fsys::path& app, const plist::Dictionary& info) {
  writeFile(app / "Contents/Info.plist", xmlOf(info));
}
inline plist::Dictionary readInfoPlist(const fsys::path& app) {
  const auto root = plist::readFile((app / "Contents/Info.plist").string());
  if (!root || !root->asDictionary()) throw std::runtime_error("no Info.plist in " + app.string());
  return *root->asDictionary();
}

// Replaces CFBundleShortVersionString (and CFBundleVersion, when present).
inline void setBundleVersion(const fsys::path& app, const std::string& version) {
  plist::Dictionary info = readInfoPlist(app);
  for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion"}) {
    if (plist::Value* value = info.find(key)) *value = plist::Value(version);
  }
  writeInfoPlist(app, info);
}
// CFBundleShortVersionString of the bundle; empty when there is none.
inline std::string bundleVersion(const fsys::path& app) {
  const plist::Dictionary info = readInfoPlist(app);
  const plist::Value* version = info.find("CFBundleShortVersionString");
  return version && version->asString() ? *version->asString() : std::string();
}

// An input method bundle whose Info.plist names the identifier, the name and the
// modes (identifier and menu title), in this order.
using Modes = std::vector<std::pair<std::string, std::optional<std::string>>>;
inline std::string writeInputMethodBundle(const std::string& path, const std::string& id,
                                          const std::optional<std::string>& name, const Modes& modes) {
  plist::Dictionary info{{"CFBundleIdentifier", id}}, list;
  if (name) info.set("CFBundleName", *name);
  for (const auto& [mode, title] : modes) {
    plist::Dictionary entry{{"tsInputModePrimaryInScriptKey", true}};
    if (title) entry.set("tsInputModeMenuTitle", *title);
    list.set(mode, entry);
  }
  if (!modes.empty()) info.set("ComponentInputModeDict", plist::Dictionary{{"tsInputModeListKey", list}});
  writeInfoPlist(path, info);
  return path;
}

// An input method bundle at `app`: the identifier, the version, the name
// "Sonarell" and one mode, kInputModeId, titled "IPA".
inline void makeBundle(const fsys::path& app, const std::string& identifier,
                       const std::string& version = "1.0") {
  writeInputMethodBundle(app.string(), identifier, "Sonarell", {{kInputModeId, "IPA"}});
  plist::Dictionary info = readInfoPlist(app);
  info.set("CFBundleShortVersionString", version);
  writeInfoPlist(app, info);
}

// Records of an enabled-input-source list: an input method, one of its modes, a keyboard layout.
inline plist::Value parentRecord(const std::string& bundleId = kInputMethodId) {
  return plist::Dictionary{{"InputSourceKind", "Keyboard Input Method"}, {"Bundle ID", bundleId}};
}
inline plist::Value modeRecord(const std::string& bundleId = kInputMethodId,
                               const std::string& modeId = kInputModeId) {
  return plist::Dictionary{
      {"InputSourceKind", "Input Mode"}, {"Bundle ID", bundleId}, {"Input Mode", modeId}};
}
inline plist::Value layoutRecord(int id, const std::string& name) {
  return plist::Dictionary{
      {"InputSourceKind", "Keyboard Layout"}, {"KeyboardLayout ID", id}, {"KeyboardLayout Name", name}};
}
// A keyboard layout and another input method (parent and mode), as a Mac that
// has never seen Sonarell holds them.
inline plist::Array foreignEnabledSources() {
  return {layoutRecord(252, "ABC"), parentRecord("com.apple.inputmethod.SCIM"),
          modeRecord("com.apple.inputmethod.SCIM", "com.apple.inputmethod.SCIM.ITABC")};
}

// The com.apple.HIToolbox preference domain of `home`, and an XML document of
// it holding `enabled` as AppleEnabledInputSources.
inline fsys::path hiToolboxPath(const fsys::path& home) {
  return home / "Library/Preferences/com.apple.HIToolbox.plist";
}
inline std::string hiToolboxPlist(const plist::Array& enabled) {
  return xmlOf(plist::Dictionary{{"AppleCurrentKeyboardLayoutInputSourceID", "com.apple.keylayout.ABC"},
                                 {"AppleEnabledInputSources", enabled}});
}

}  // namespace sonarell::test
