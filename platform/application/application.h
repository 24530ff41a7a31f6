#pragma once

namespace sonarell::application {

// The process's application object: activation policy and finishing launch.
class Application {
 public:
  virtual ~Application() = default;
  virtual void setActivationPolicyProhibited() = 0;
  virtual void finishLaunching() = 0;
};

}  // namespace sonarell::application
