#include "register/enabled_list.h"

#include <algorithm>
#include <cstddef>

#include "platform/fs/new_file.h"
#include "platform/fs/paths.h"
#include "platform/plist/codec.h"
#include "platform/textinput/text_input_services.h"
#include "register/identifiers.h"

namespace sonarell::keyloom {

namespace {

plist::Value str(std::string_view text) { return plist::Value(std::string(text)); }

const std::string kDomain(kHIToolboxDomain);
const std::string kKey(kEnabledInputSourcesKey);

bool holds(const std::optional<plist::Value>& value, const plist::Array& expected) {
  if (!value) return false;
  const plist::Array* array = value->asArray();
  return array && *array == expected;
}

// The value is the array `head` followed by `tail`, compared without building it.
bool holdsJoined(const std::optional<plist::Value>& value, const plist::Array& head,
                 const plist::Array& tail) {
  const plist::Array* array = value ? value->asArray() : nullptr;
  if (!array || array->size() != head.size() + tail.size()) return false;
  return std::equal(head.begin(), head.end(), array->begin()) &&
         std::equal(tail.begin(), tail.end(), array->begin() + static_cast<std::ptrdiff_t>(head.size()));
}

}  // namespace

plist::Dictionary ParentRecord() {
  return plist::Dictionary{
      {std::string(kInputSourceKindKey), str(kKindKeyboardInputMethod)},
      {std::string(kBundleIDKey), str(BundleID)},
  };
}

plist::Dictionary ModeRecord() {
  return plist::Dictionary{
      {std::string(kInputSourceKindKey), str(kKindInputMode)},
      {std::string(kBundleIDKey), str(BundleID)},
      {std::string(kInputModeKey), str(ModeID)},
  };
}

bool Matches(const plist::Dictionary& element, const plist::Dictionary& record) {
  for (const auto& [key, value] : record) {
    const plist::Value* held = element.find(key);
    if (!held || !(*held == value)) return false;
  }
  return true;
}

bool IsForeign(const plist::Value& element) {
  const plist::Dictionary* dictionary = element.asDictionary();
  const plist::Value* bundleID = dictionary ? dictionary->find(kBundleIDKey) : nullptr;
  return !bundleID || !(*bundleID == str(BundleID));
}

std::optional<plist::Value> ReadEnabledList(preferences::PreferenceStore& store) {
  return store.copyAppValue(kKey, kDomain);
}

std::optional<plist::Value> SynchronizeAndReadEnabledList(preferences::PreferenceStore& store) {
  store.synchronize(kDomain);
  return ReadEnabledList(store);
}

bool HoldsForeignOf(const std::optional<plist::Value>& value, const plist::Array& list) {
  const plist::Array* array = value ? value->asArray() : nullptr;
  if (!array) return false;
  auto it = array->begin();
  for (const plist::Value& element : list) {
    if (!IsForeign(element)) continue;
    if (it == array->end() || !(*it == element)) return false;
    ++it;
  }
  return it == array->end();
}

bool WriteEnabledListBackup(const std::string& backupPath, const plist::Value& list) {
  if (!fs::isValidUtf8(backupPath) || backupPath.empty()) return false;
  std::optional<std::string> bytes = plist::serialize(list, plist::Format::Xml);
  if (!bytes) bytes = plist::serialize(list, plist::Format::Binary);
  if (!bytes) return false;
  return fs::writeNewFile(backupPath, *bytes).ok();
}

std::optional<plist::Array> EnabledListWithOurs(const std::optional<plist::Value>& value) {
  if (!value || !value->isArray()) return std::nullopt;
  plist::Array list = *value->asArray();
  for (const plist::Value& element : list) {
    if (!element.isDictionary()) return std::nullopt;
  }
  for (const plist::Dictionary& record : {ParentRecord(), ModeRecord()}) {
    bool present = false;
    for (const plist::Value& element : list) {
      if (Matches(*element.asDictionary(), record)) {
        present = true;
        break;
      }
    }
    if (!present) list.emplace_back(record);
  }
  return list;
}

bool EnabledListCanBeRepaired(preferences::PreferenceStore& store) {
  const std::optional<plist::Value> list = SynchronizeAndReadEnabledList(store);
  return !list || EnabledListWithOurs(list).has_value();
}

bool RepairEnabledList(const std::string& backupPath, Services& services, Streams streams) {
  const Reporter report(streams);
  preferences::PreferenceStore& store = services.preferences;

  const std::optional<plist::Value> initial = SynchronizeAndReadEnabledList(store);
  std::optional<plist::Array> desired = EnabledListWithOurs(initial);
  if (!desired) {
    report.error(ErrorLine::UnexpectedEnabledList);
    return false;
  }
  const plist::Array& initialList = *initial->asArray();

  if (!WriteEnabledListBackup(backupPath, *initial)) {
    report.error(ErrorLine::BackupFailed);
    return false;
  }

  if (!holds(SynchronizeAndReadEnabledList(store), initialList)) {
    report.error(ErrorLine::ChangedConcurrently);
    return false;
  }

  // Both records present already: take them out once and put them back, so that
  // the text-input services see them appear afresh.
  // The lists are long; each is handed to the store once, and what is read back
  // is compared with the lists it was made from rather than with copies kept.
  if (*desired == initialList) {
    plist::Array foreign;
    for (const plist::Value& element : *desired) {
      if (IsForeign(element)) foreign.push_back(element);
    }
    const std::size_t foreignCount = foreign.size();
    store.setAppValue(kKey, plist::Value(std::move(foreign)), kDomain);
    if (!store.synchronize(kDomain)) {
      report.enabledListNotStored(store.lastFailure());
      return false;
    }
    if (!HoldsForeignOf(ReadEnabledList(store), *desired)) return false;
    services.notifier.post(std::string(textinput::kTISNotifyEnabledKeyboardInputSourcesChanged));
    services.runLoop.runFor(kRefreshWait);
    if (!HoldsForeignOf(SynchronizeAndReadEnabledList(store), *desired)) {
      report.error(ErrorLine::ChangedDuringRefresh);
      return false;
    }
    report.refreshed(foreignCount);
  }

  // *desired is *initial with the missing own records at its end.
  const plist::Array appended(desired->begin() + static_cast<std::ptrdiff_t>(initialList.size()),
                              desired->end());
  store.setAppValue(kKey, plist::Value(std::move(*desired)), kDomain);
  if (!store.synchronize(kDomain)) {
    report.enabledListNotStored(store.lastFailure());
    return false;
  }
  if (!holdsJoined(ReadEnabledList(store), initialList, appended)) {
    report.error(ErrorLine::ReadbackDiffers);
    return false;
  }
  services.notifier.post(std::string(textinput::kTISNotifyEnabledKeyboardInputSourcesChanged));
  report.enabledListRepaired(initialList.size(), appended.size());
  return true;
}

}  // namespace sonarell::keyloom
