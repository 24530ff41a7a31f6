#include "register/dispatch.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <vector>

#include "platform/bundle/bundle.h"
#include "platform/clock/wall_clock.h"
#include "platform/fs/file_access.h"
#include "platform/fs/paths.h"
#include "register/enabled_list_removal.h"
#include "register/exchange_contents.h"
#include "register/identifiers.h"
#include "register/install_forms.h"
#include "register/registration.h"

namespace sonarell::keyloom {

std::optional<std::string> BundlePathFromArgument(const char* argument) {
  const std::string_view text(argument);
  if (text.empty() || !fs::isValidUtf8(text)) return std::nullopt;
  std::string path(text);
  if (path.front() != '/') {
    std::optional<std::string> current = fs::currentDirectory();
    if (!current) return std::nullopt;
    std::string cwd = std::move(*current);
    if (cwd.empty() || cwd.back() != '/') cwd += '/';
    path = cwd + path;
  }
  // The bundle is a folder; a trailing separator names the same one.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

namespace {

// The forms named by their first argument, with how many arguments each takes
// after it; none for an invocation of the bundle forms.
std::optional<int> dispatchFileForm(int count, const char* const* args, Services& services, Streams streams) {
  const std::string_view option(args[0]);
  const auto arg = [&](int i) { return std::string(args[i]); };
  const auto now = [] { return clock::wallClockNow(); };
  const struct {
    std::string_view option;
    int least, most;
  } forms[] = {
      {kLockedOption, 3, std::numeric_limits<int>::max()},
      {kCopyTreeOption, 2, 2},
      {kBackUpOption, 2, 2},
      {kMoveToBackupsOption, 2, 2},
      {kListBackupNameOption, 1, 1},
      {kNewestBackupOption, 1, 2},
      {kSweepOption, 2, 2},
      {kBundleVersionOption, 1, 1},
      {kOpenOption, 1, 1},
  };
  const auto form =
      std::find_if(std::begin(forms), std::end(forms), [&](auto& f) { return f.option == option; });
  if (form == std::end(forms)) return std::nullopt;
  if (count - 1 < form->least || count - 1 > form->most) {
    std::fputs(FormUsage(option).c_str(), streams.err);
    return 2;
  }
  if (option == kLockedOption) return RunLocked(arg(1), arg(2), {args + 3, args + count}, streams);
  if (option == kCopyTreeOption) return CopyTree(arg(1), arg(2), streams);
  if (option == kBackUpOption) return BackUp(arg(1), arg(2), now(), streams);
  if (option == kMoveToBackupsOption) return MoveToBackups(arg(1), arg(2), now(), streams);
  if (option == kListBackupNameOption) return ListBackupName(arg(1), now(), streams);
  if (option == kNewestBackupOption) {
    return NewestBackup(arg(1), count == 3 ? std::optional(arg(2)) : std::nullopt, streams);
  }
  if (option == kSweepOption) return Sweep(arg(1), arg(2), now(), streams);
  if (option == kBundleVersionOption) return PrintBundleVersion(arg(1), streams);
  const std::optional<std::string> bundle = BundlePathFromArgument(args[1]);
  if (!bundle || services.workspace == nullptr) {
    std::fputs(FormUsage(option).c_str(), streams.err);
    return 2;
  }
  return OpenBundle(*bundle, *services.workspace, streams);
}

}  // namespace

int Dispatch(int argc, const char* const* argv, Services& services, Streams streams,
             const std::string& home) {
  const int count = argc - 1;
  const char* const* args = argv + 1;

  if (count == 3 && std::string_view(args[0]) == kExchangeOption) {
    return ExchangeContents(args[1], args[2], home, streams);
  }
  if (count >= 1) {
    if (const std::optional<int> status = dispatchFileForm(count, args, services, streams)) return *status;
  }

  // Set up before the arguments are looked at any further, so that even a usage
  // error leaves the process in the state every other run has.
  services.application.setActivationPolicyProhibited();
  services.application.finishLaunching();

  const bool check = count == 2 && std::string_view(args[1]) == kCheckOption;
  const bool repair = count == 3 && std::string_view(args[1]) == kRepairOption;
  const bool remove = count == 3 && std::string_view(args[1]) == kRemoveOption;
  const Reporter report(streams);
  // Without a bundle: for when it is gone already.
  if (count >= 1 && std::string_view(args[0]) == kRemoveOption) {
    if (count == 2) return RemoveFromEnabledList(args[1], services, streams);
    std::fputs(FormUsage(kRemoveOption).c_str(), streams.err);
    return 2;
  }
  if (count != 1 && !check && !repair && !remove) {
    report.error(ErrorLine::Usage);
    return 2;
  }

  const std::optional<std::string> bundlePath = BundlePathFromArgument(args[0]);
  const std::optional<std::string> identifier =
      bundlePath ? bundle::identifier(*bundlePath) : std::optional<std::string>();
  if (!identifier || *identifier != BundleID) {
    report.error(ErrorLine::UnexpectedBundle);
    return 2;
  }

  if (remove) return RemoveFromEnabledList(args[2], services, streams);

  RegistrationRequest request;
  request.bundlePath = *bundlePath;
  request.check = check;
  request.repair = repair;
  if (repair) request.backupPath = args[2];
  return RunRegistration(request, services, streams);
}

}  // namespace sonarell::keyloom
