#include "register/registration.h"

#include "register/enabled_list.h"
#include "register/identifiers.h"

namespace sonarell::keyloom {

namespace tis = textinput;

std::optional<tis::InputSourceList> Sources(tis::TextInputServices& textInput) {
  plist::Dictionary filter;
  filter.set(std::string(tis::kTISPropertyBundleID), plist::Value(std::string(BundleID)));
  return textInput.createInputSourceList(filter, true);
}

const tis::InputSource* Find(const std::optional<tis::InputSourceList>& list,
                             std::string_view inputSourceID) {
  if (!list) return nullptr;
  for (const tis::InputSource& source : *list) {
    const plist::Value* id = source.property(tis::kTISPropertyInputSourceID);
    const std::string* text = id ? id->asString() : nullptr;
    if (text && *text == inputSourceID) return &source;
  }
  return nullptr;
}

bool Enabled(const tis::InputSource* source) {
  if (!source) return false;
  const plist::Value* value = source->property(tis::kTISPropertyInputSourceIsEnabled);
  const bool* enabled = value ? value->asBoolean() : nullptr;
  return enabled && *enabled;
}

namespace {

void listSources(const std::optional<tis::InputSourceList>& list, const Reporter& report) {
  if (!list) return;
  static constexpr std::string_view kListedKeys[] = {
      tis::kTISPropertyInputSourceType,
      tis::kTISPropertyInputSourceIsEnableCapable,
      tis::kTISPropertyBundleID,
      tis::kTISPropertyLocalizedName,
  };
  for (const tis::InputSource& source : *list) {
    report.source(DescribeValue(source.property(tis::kTISPropertyInputSourceID)));
    for (std::string_view key : kListedKeys) report.sourceProperty(key, DescribeValue(source.property(key)));
  }
}

}  // namespace

int RunRegistration(const RegistrationRequest& request, Services& services, Streams streams) {
  const Reporter report(streams);

  // The repair refuses a list it cannot work on; it must do so before enabling
  // our sources has added to that list, or its "no preferences changed" is untrue.
  if (request.repair && !EnabledListCanBeRepaired(services.preferences)) {
    report.error(ErrorLine::UnexpectedEnabledList);
    return 1;
  }

  if (!request.check) {
    const std::int32_t launchStatus = services.launchServices.registerURL(request.bundlePath, true);
    report.launchServicesRegister(launchStatus);
    if (launchStatus != 0) return 1;
    const std::int32_t registerStatus = services.textInput.registerInputSource(request.bundlePath);
    report.registered(registerStatus);
    if (registerStatus != 0) return 1;
  }

  std::optional<tis::InputSourceList> list = Sources(services.textInput);
  listSources(list, report);

  const tis::InputSource* parent = Find(list, BundleID);
  report.before(Enabled(parent), Enabled(Find(list, ModeID)));

  if (request.check) {
    const bool ready = Enabled(parent) && Enabled(Find(list, ModeID));
    report.ready(ready);
    return ready ? 0 : 1;
  }

  if (!parent) {
    report.error(ErrorLine::ParentNotRegistered);
    return 1;
  }
  const std::int32_t parentStatus = services.textInput.enableInputSource(*parent);
  report.enableParent(parentStatus);
  if (parentStatus != 0) {
    report.enabledListNotStored(services.textInput.lastFailure());
    return 1;
  }

  services.runLoop.runFor(kSettleWait);
  list = Sources(services.textInput);

  const tis::InputSource* mode = Find(list, ModeID);
  if (!mode) {
    report.error(ErrorLine::ModeNotRegistered);
    return 1;
  }
  // A failed mode enabling does not end the run: the verification still shows
  // the state the user is left with.
  const std::int32_t modeStatus = services.textInput.enableInputSource(*mode);
  report.enableMode(modeStatus);
  // Said at the end, so that a repair that fails with a line of its own stays the
  // run's one error line.
  const std::string modeFailure = modeStatus != 0 ? services.textInput.lastFailure() : std::string();

  services.runLoop.runFor(kSettleWait);

  if (request.repair && !RepairEnabledList(request.backupPath, services, streams)) return 1;

  services.runLoop.runFor(kSettleWait);
  list = Sources(services.textInput);

  const bool ready = modeStatus == 0 && Enabled(Find(list, BundleID)) && Enabled(Find(list, ModeID));
  report.after(Enabled(Find(list, BundleID)), Enabled(Find(list, ModeID)));
  if (modeStatus == 0) report.registrationComplete();
  report.enabledListNotStored(modeFailure);
  return ready ? 0 : 1;
}

}  // namespace sonarell::keyloom
