#include "platform/bundle/bundle.h"

#include "platform/fs/paths.h"
#include "platform/plist/codec.h"

namespace sonarell::bundle {

std::string infoPlistPath(const std::string& bundlePath) {
  return fs::appendingPathComponent(fs::appendingPathComponent(bundlePath, "Contents"), "Info.plist");
}

std::optional<plist::Dictionary> infoDictionary(const std::string& bundlePath) {
  if (bundlePath.empty()) return std::nullopt;
  std::optional<plist::Value> info = plist::readFile(infoPlistPath(bundlePath));
  if (!info) return std::nullopt;
  plist::Dictionary* dictionary = info->asDictionary();
  if (dictionary == nullptr) return std::nullopt;
  return std::move(*dictionary);
}

std::optional<std::string> identifier(const std::string& bundlePath) {
  std::optional<plist::Dictionary> info = infoDictionary(bundlePath);
  if (!info) return std::nullopt;
  const plist::Value* id = info->find("CFBundleIdentifier");
  if (id == nullptr || id->asString() == nullptr) return std::nullopt;
  return *id->asString();
}

}  // namespace sonarell::bundle
