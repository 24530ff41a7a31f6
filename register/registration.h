#pragma once

// The register, check and repair forms: registration with Launch Services and the
// text-input services, the listing of our sources, enabling the parent and then
// the mode, the list repair (repair form) and the verification after the waits.

#include <optional>
#include <string>
#include <string_view>

#include "platform/textinput/text_input_services.h"
#include "register/output.h"
#include "register/services.h"

namespace sonarell::keyloom {

// Every installed source, enabled or not, that carries our bundle identifier.
std::optional<textinput::InputSourceList> Sources(textinput::TextInputServices& textInput);

// The first source in list order with the identifier, or none.
const textinput::InputSource* Find(const std::optional<textinput::InputSourceList>& list,
                                   std::string_view inputSourceID);

// False for none and for a source without a boolean enabled property.
bool Enabled(const textinput::InputSource* source);

struct RegistrationRequest {
  std::string bundlePath;
  bool check = false;
  bool repair = false;
  // Taken unchanged from the command line (it may not even be valid UTF-8).
  std::string backupPath;
};

// The exit status: 0 done and verified, 1 failed or not verified.
int RunRegistration(const RegistrationRequest& request, Services& services, Streams streams);

}  // namespace sonarell::keyloom
