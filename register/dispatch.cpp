#include "register/dispatch.h"

#include <string_view>
#include <vector>

#include "platform/bundle/bundle.h"
#include "platform/fs/file_access.h"
#include "platform/fs/paths.h"
#include "register/enabled_list_removal.h"
#include "register/exchange_contents.h"
#include "register/identifiers.h"
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

int Dispatch(int argc, const char* const* argv, Services& services, Streams streams,
             const std::string& home) {
  const int count = argc - 1;
  const char* const* args = argv + 1;

  if (count == 3 && std::string_view(args[0]) == kExchangeOption) {
    return ExchangeContents(args[1], args[2], home, streams);
  }

  // Set up before the arguments are looked at any further, so that even a usage
  // error leaves the process in the state every other run has.
  services.application.setActivationPolicyProhibited();
  services.application.finishLaunching();

  const bool check = count == 2 && std::string_view(args[1]) == kCheckOption;
  const bool repair = count == 3 && std::string_view(args[1]) == kRepairOption;
  const bool remove = count == 3 && std::string_view(args[1]) == kRemoveOption;
  const Reporter report(streams);
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
