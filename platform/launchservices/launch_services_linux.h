#pragma once

// Launch Services on Linux: registering a bundle records its path in the
// stand-ins' registry (see bundle_registry.h); nothing else on the system reads it.

#include <cstdint>
#include <string>

#include "platform/launchservices/launch_services.h"

namespace sonarell::launchservices {

inline constexpr std::int32_t kLSApplicationNotFoundErr = -10814;
// The registry could not be read or written.
inline constexpr std::int32_t kLSRegistryWriteErr = -10822;  // kLSServerCommunicationErr

class LinuxLaunchServices final : public LaunchServices {
 public:
  explicit LinuxLaunchServices(std::string homeDirectory);
  // A path registered again keeps its place; the update flag changes nothing here.
  std::int32_t registerURL(const std::string& bundlePath, bool update) override;

 private:
  std::string homeDirectory_;
};

}  // namespace sonarell::launchservices
