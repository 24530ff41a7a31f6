#include "platform/textinput/text_input_services_linux.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/bundle/bundle.h"
#include "platform/launchservices/bundle_registry.h"
#include "platform/preferences/file_preference_store_linux.h"

namespace sonarell::textinput {

namespace {

namespace registry = launchservices;

constexpr const char* kInputSourceKind = "InputSourceKind";
constexpr const char* kBundleIDKey = "Bundle ID";
constexpr const char* kInputModeKey = "Input Mode";
constexpr const char* kKindInputMethod = "Keyboard Input Method";
constexpr const char* kKindInputMode = "Input Mode";

const std::string* stringProperty(const InputSource& source, std::string_view key) {
  const plist::Value* value = source.property(key);
  return value ? value->asString() : nullptr;
}

// The sources one bundle provides, from its information dictionary: the parent
// input method, then one input mode per key of the mode list, in the file's order.
std::vector<InputSource> sourcesOfBundle(const std::string& bundlePath) {
  std::vector<InputSource> sources;
  auto info = bundle::infoDictionary(bundlePath);
  if (!info) return sources;
  const plist::Value* identifierValue = info->find("CFBundleIdentifier");
  const std::string* identifier = identifierValue ? identifierValue->asString() : nullptr;
  if (!identifier || identifier->empty()) return sources;

  auto makeSource = [&](const std::string& id, std::string_view type, const plist::Value* name) {
    InputSource source;
    source.properties.set(std::string(kTISPropertyInputSourceID), plist::Value(id));
    source.properties.set(std::string(kTISPropertyInputSourceType), plist::Value(std::string(type)));
    source.properties.set(std::string(kTISPropertyInputSourceIsEnableCapable), plist::Value(true));
    source.properties.set(std::string(kTISPropertyInputSourceIsEnabled), plist::Value(false));
    source.properties.set(std::string(kTISPropertyBundleID), plist::Value(*identifier));
    if (name && name->isString()) source.properties.set(std::string(kTISPropertyLocalizedName), *name);
    return source;
  };

  sources.push_back(
      makeSource(*identifier, kTISTypeKeyboardInputMethodModeEnabled, info->find("CFBundleName")));

  const plist::Value* component = info->find("ComponentInputModeDict");
  const plist::Dictionary* componentDict = component ? component->asDictionary() : nullptr;
  const plist::Value* modeList = componentDict ? componentDict->find("tsInputModeListKey") : nullptr;
  const plist::Dictionary* modes = modeList ? modeList->asDictionary() : nullptr;
  if (modes) {
    for (const auto& [modeId, mode] : *modes) {
      const plist::Dictionary* modeDict = mode.asDictionary();
      const plist::Value* title = modeDict ? modeDict->find("tsInputModeMenuTitle") : nullptr;
      sources.push_back(makeSource(modeId, kTISTypeKeyboardInputMode, title));
    }
  }
  return sources;
}

// Every source of every registered bundle that is still there, in registration order.
std::optional<std::vector<InputSource>> installedSources(preferences::PreferenceStore& store) {
  auto paths = registry::registeredBundles(store, registry::kTextInputKey);
  if (!paths) return std::nullopt;
  std::vector<InputSource> sources;
  for (const auto& path : *paths) {
    auto ofBundle = sourcesOfBundle(path);
    std::move(ofBundle.begin(), ofBundle.end(), std::back_inserter(sources));
  }
  return sources;
}

// Every key of the record is present in the element with an equal value.
bool matches(const plist::Value& element, const plist::Dictionary& record) {
  const plist::Dictionary* dict = element.asDictionary();
  if (!dict) return false;
  return std::all_of(record.begin(), record.end(), [&](const plist::Dictionary::Entry& pair) {
    const plist::Value* value = dict->find(pair.first);
    return value && *value == pair.second;
  });
}

bool isEnabledIn(const plist::Array* enabled, const InputSource& source) {
  if (!enabled) return false;
  auto record = enabledRecordFor(source);
  if (!record) return false;
  return std::any_of(enabled->begin(), enabled->end(),
                     [&](const plist::Value& element) { return matches(element, *record); });
}

bool sameSource(const InputSource& a, const InputSource& b) {
  for (auto key : {kTISPropertyInputSourceID, kTISPropertyInputSourceType, kTISPropertyBundleID}) {
    const plist::Value* x = a.property(key);
    const plist::Value* y = b.property(key);
    if (!x || !y || !(*x == *y)) return false;
  }
  return true;
}

}  // namespace

std::optional<plist::Dictionary> enabledRecordFor(const InputSource& source) {
  const std::string* type = stringProperty(source, kTISPropertyInputSourceType);
  const std::string* bundleId = stringProperty(source, kTISPropertyBundleID);
  const std::string* sourceId = stringProperty(source, kTISPropertyInputSourceID);
  if (!type || !bundleId || !sourceId) return std::nullopt;
  if (*type == kTISTypeKeyboardInputMethodModeEnabled) {
    return plist::Dictionary{{kInputSourceKind, plist::Value(kKindInputMethod)},
                             {kBundleIDKey, plist::Value(*bundleId)}};
  }
  if (*type == kTISTypeKeyboardInputMode) {
    return plist::Dictionary{{kInputSourceKind, plist::Value(kKindInputMode)},
                             {kBundleIDKey, plist::Value(*bundleId)},
                             {kInputModeKey, plist::Value(*sourceId)}};
  }
  return std::nullopt;
}

LinuxTextInputServices::LinuxTextInputServices(std::string homeDirectory)
    : homeDirectory_(std::move(homeDirectory)) {}

std::int32_t LinuxTextInputServices::registerInputSource(const std::string& bundlePath) {
  auto path = registry::absoluteStandardPath(bundlePath);
  if (!path) return kParamErr;
  auto identifier = bundle::identifier(*path);
  if (!identifier || identifier->empty()) return kParamErr;
  // A store of its own for every call: nothing from an earlier, failed write can
  // be carried into this one.
  preferences::FilePreferenceStore store(homeDirectory_);
  switch (registry::recordBundle(store, registry::kTextInputKey, *path)) {
    case registry::RegistryResult::Recorded:
      return 0;
    case registry::RegistryResult::Unreadable:
      return kParamErr;
    case registry::RegistryResult::WriteFailed:
      break;
  }
  return kWritePermissionErr;
}

std::optional<InputSourceList> LinuxTextInputServices::createInputSourceList(const plist::Dictionary& filter,
                                                                             bool includeAllInstalled) {
  preferences::FilePreferenceStore store(homeDirectory_);
  auto sources = installedSources(store);
  if (!sources) return std::nullopt;

  store.synchronize(kHIToolboxDomain);
  auto enabledValue = store.copyAppValue(kEnabledInputSourcesKey, kHIToolboxDomain);
  const plist::Array* enabled = enabledValue ? enabledValue->asArray() : nullptr;

  InputSourceList list;
  for (auto& source : *sources) {
    bool isEnabled = isEnabledIn(enabled, source);
    source.properties.set(std::string(kTISPropertyInputSourceIsEnabled), plist::Value(isEnabled));
    if (!includeAllInstalled && !isEnabled) continue;
    bool kept = std::all_of(filter.begin(), filter.end(), [&](const plist::Dictionary::Entry& pair) {
      const plist::Value* value = source.property(pair.first);
      return value && *value == pair.second;
    });
    if (kept) list.push_back(std::move(source));
  }
  return list;
}

template <typename Edit>
std::int32_t LinuxTextInputServices::editEnabledList(const InputSource& source, Edit edit) {
  lastFailure_.clear();
  auto record = enabledRecordFor(source);
  if (!record) return kParamErr;

  preferences::FilePreferenceStore store(homeDirectory_);
  // The source must still be provided by a registered bundle that is there.
  auto sources = installedSources(store);
  if (!sources || std::none_of(sources->begin(), sources->end(),
                               [&](const InputSource& known) { return sameSource(known, source); })) {
    return kParamErr;
  }

  // A preference file that cannot be read is not replaced by a fresh list.
  if (!store.synchronize(kHIToolboxDomain)) {
    lastFailure_ = store.lastFailure();
    return kParamErr;
  }
  plist::Array enabled;
  if (auto current = store.copyAppValue(kEnabledInputSourcesKey, kHIToolboxDomain)) {
    const plist::Array* array = current->asArray();
    if (!array) return kParamErr;
    enabled = *array;
  }
  if (!edit(enabled, *record)) return 0;
  store.setAppValue(kEnabledInputSourcesKey, plist::Value(std::move(enabled)), kHIToolboxDomain);
  if (store.synchronize(kHIToolboxDomain)) return 0;
  lastFailure_ = store.lastFailure();
  return kWritePermissionErr;
}

std::int32_t LinuxTextInputServices::enableInputSource(const InputSource& source) {
  return editEnabledList(source, [](plist::Array& enabled, plist::Dictionary& record) {
    if (std::any_of(enabled.begin(), enabled.end(),
                    [&](const plist::Value& element) { return matches(element, record); })) {
      return false;
    }
    enabled.push_back(plist::Value(std::move(record)));
    return true;
  });
}

std::int32_t LinuxTextInputServices::disableInputSource(const InputSource& source) {
  return editEnabledList(source, [](plist::Array& enabled, const plist::Dictionary& record) {
    const auto kept = std::remove_if(enabled.begin(), enabled.end(),
                                     [&](const plist::Value& element) { return matches(element, record); });
    if (kept == enabled.end()) return false;
    enabled.erase(kept, enabled.end());
    return true;
  });
}

}  // namespace sonarell::textinput
