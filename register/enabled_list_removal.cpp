#include "register/enabled_list_removal.h"

#include <algorithm>
#include <optional>

#include "platform/plist/value.h"
#include "platform/textinput/text_input_services.h"
#include "register/enabled_list.h"
#include "register/identifiers.h"
#include "register/registration.h"

namespace sonarell::keyloom {

namespace {

namespace tis = textinput;

// `now` is `initial` with none, some or all of our records taken out and nothing
// else changed: all that disabling our sources may do to the list.
bool isInitialLessOurs(const std::optional<plist::Value>& now, const std::optional<plist::Value>& initial) {
  if (!initial) return !now;
  const plist::Array* list = now ? now->asArray() : nullptr;
  if (!list) return false;
  auto it = list->begin();
  for (const plist::Value& element : *initial->asArray()) {
    // Equal elements are interchangeable, so matching greedily finds a way
    // whenever there is one.
    if (it != list->end() && *it == element) {
      ++it;
    } else if (IsForeign(element)) {
      return false;
    }
  }
  return it == list->end();
}

}  // namespace

int RemoveFromEnabledList(const std::string& backupPath, Services& services, Streams streams) {
  const Reporter report(streams);
  preferences::PreferenceStore& store = services.preferences;

  // A file the store cannot read is no missing list: it may hold our records.
  if (!store.synchronize(std::string(kHIToolboxDomain))) {
    report.enabledListNotRead(store.lastFailure());
    return 1;
  }
  const std::optional<plist::Value> initial = ReadEnabledList(store);
  if (initial && !EnabledListWithOurs(initial)) {
    report.error(ErrorLine::UnexpectedEnabledList);
    return 1;
  }
  const plist::Array none;
  const plist::Array& initialList = initial ? *initial->asArray() : none;
  const auto ours = static_cast<std::size_t>(std::count_if(
      initialList.begin(), initialList.end(), [](const plist::Value& e) { return !IsForeign(e); }));

  // Whatever this run takes out of the list, the backup holds it first.
  if (ours > 0) {
    if (!WriteEnabledListBackup(backupPath, *initial)) {
      report.error(ErrorLine::BackupFailed);
      return 1;
    }
    if (SynchronizeAndReadEnabledList(store) != initial) {
      report.error(ErrorLine::ChangedConcurrently);
      return 1;
    }
  }

  // Disabled through the text-input services, so that they let go of our
  // sources as of any other; the mode first, so that no enabled mode is ever
  // left under a disabled parent.
  const std::optional<tis::InputSourceList> sources = Sources(services.textInput);
  bool disabled = false;
  for (const bool parent : {false, true}) {
    const tis::InputSource* source = Find(sources, parent ? BundleID : ModeID);
    if (!Enabled(source)) continue;
    const std::int32_t status = services.textInput.disableInputSource(*source);
    parent ? report.disableParent(status) : report.disableMode(status);
    if (status != 0) {
      report.enabledListNotStored(services.textInput.lastFailure());
      return 1;
    }
    disabled = true;
  }
  if (!disabled && ours == 0) {
    report.enabledListUntouched();
    return 0;
  }
  if (disabled) services.runLoop.runFor(kSettleWait);

  const std::optional<plist::Value> now = SynchronizeAndReadEnabledList(store);
  if (!isInitialLessOurs(now, initial)) {
    report.error(ErrorLine::ChangedConcurrently);
    return 1;
  }
  if (ours == 0) {
    report.enabledListUntouched();
    return 0;
  }

  plist::Array foreign;
  std::copy_if(initialList.begin(), initialList.end(), std::back_inserter(foreign),
               [](const plist::Value& e) { return IsForeign(e); });
  const std::size_t foreignCount = foreign.size();
  // What disabling left of ours (records of another mode of ours, or of sources
  // the services no longer know) goes with one write of the foreign entries.
  if (now->asArray()->size() != foreignCount) {
    store.setAppValue(std::string(kEnabledInputSourcesKey), plist::Value(std::move(foreign)),
                      std::string(kHIToolboxDomain));
    if (!store.synchronize(std::string(kHIToolboxDomain))) {
      report.enabledListNotStored(store.lastFailure());
      return 1;
    }
    if (!HoldsForeignOf(ReadEnabledList(store), initialList)) {
      report.error(ErrorLine::ReadbackDiffers);
      return 1;
    }
  }
  services.notifier.post(std::string(tis::kTISNotifyEnabledKeyboardInputSourcesChanged));
  report.enabledListRemoved(ours, foreignCount);
  return 0;
}

}  // namespace sonarell::keyloom
