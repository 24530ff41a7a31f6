#include "installer/payload/installer_payload.h"

#include <array>

#include "platform/fs/file_type.h"
#include "platform/fs/paths.h"

namespace sonarell::installer {

namespace {

bool exists(const std::string& path) { return fs::existsFollowingLinks(path); }

}  // namespace

std::string joinPath(const std::string& folder, const std::string& relative) {
  std::string left = folder;
  while (left.size() > 1 && left.back() == '/') left.pop_back();
  std::size_t start = 0;
  while (start < relative.size() && relative[start] == '/') ++start;
  if (start == relative.size()) return left;
  if (left.empty()) return relative.substr(start);
  // Appended rather than `"/" + substr`, which GCC 12 at -O3 inlines into an
  // insert and reports as a false -Wrestrict overlap.
  if (left == "/") return std::string("/").append(relative, start);
  return left + "/" + relative.substr(start);
}

std::string InstallerPayload::app() const { return joinPath(root_, "Payload/Sonarell.app"); }
std::string InstallerPayload::helper() const { return joinPath(root_, "Registration/Keyloom.app"); }
std::string InstallerPayload::script() const { return joinPath(root_, "Scripts/install-macos.sh"); }

std::string InstallerPayload::target() {
  return joinPath(fs::homeDirectory(), "Library/Input Methods/Sonarell.app");
}

bool InstallerPayload::installed() { return exists(target()); }

Result<void, InstallerError> InstallerPayload::validate() const {
  const std::array<std::string, 3> required = {
      joinPath(app(), "Contents/Info.plist"),
      joinPath(helper(), "Contents/MacOS/Keyloom"),
      script(),
  };
  for (const auto& item : required) {
    if (!exists(item)) return payloadIncompleteError();
  }
  return {};
}

}  // namespace sonarell::installer
