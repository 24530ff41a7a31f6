#include "platform/launchservices/launch_services_linux.h"

#include <utility>

#include "platform/bundle/bundle.h"
#include "platform/launchservices/bundle_registry.h"
#include "platform/preferences/file_preference_store_linux.h"

namespace sonarell::launchservices {

LinuxLaunchServices::LinuxLaunchServices(std::string homeDirectory)
    : homeDirectory_(std::move(homeDirectory)) {}

std::int32_t LinuxLaunchServices::registerURL(const std::string& bundlePath, bool /*update*/) {
  auto path = absoluteStandardPath(bundlePath);
  if (!path || !bundle::infoDictionary(*path)) return kLSApplicationNotFoundErr;
  // A store of its own for each call, as the separate service would read the
  // registry afresh, and so that nothing left over from a failed write can linger.
  preferences::FilePreferenceStore store(homeDirectory_);
  return recordBundle(store, kLaunchServicesKey, *path) == RegistryResult::Recorded ? 0 : kLSRegistryWriteErr;
}

}  // namespace sonarell::launchservices
