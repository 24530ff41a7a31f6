#pragma once

#include <cstdint>
#include <string>

namespace sonarell::launchservices {

class LaunchServices {
 public:
  virtual ~LaunchServices() = default;
  // LSRegisterURL: 0 on success.
  virtual std::int32_t registerURL(const std::string& bundlePath, bool update) = 0;
};

}  // namespace sonarell::launchservices
