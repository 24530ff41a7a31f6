#include "platform/launchservices/bundle_registry.h"

#include <unistd.h>

#include <algorithm>
#include <memory>

#include "platform/fs/paths.h"

namespace sonarell::launchservices {

std::optional<std::string> absoluteStandardPath(std::string_view path) {
  if (path.empty() || !fs::isValidUtf8(path)) return std::nullopt;
  std::string full(path);
  if (full.front() != '/' && full.front() != '~') {
    std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
    if (!cwd) return std::nullopt;
    full = fs::appendingPathComponent(cwd.get(), full);
  }
  auto standard = fs::standardizePath(full);
  if (!standard || standard->empty() || standard->front() != '/') return std::nullopt;
  return standard;
}

RegistryResult recordBundle(preferences::PreferenceStore& store, const std::string& key,
                            const std::string& absolutePath) {
  // Bring the view up to date first, so that paths other processes recorded since stay.
  store.synchronize(kRegistryDomain);
  plist::Array paths;
  if (auto current = store.copyAppValue(key, kRegistryDomain)) {
    const plist::Array* array = current->asArray();
    if (!array) return RegistryResult::Unreadable;
    paths = *array;
  }
  plist::Value entry(absolutePath);
  if (std::find(paths.begin(), paths.end(), entry) != paths.end()) return RegistryResult::Recorded;
  paths.push_back(std::move(entry));
  store.setAppValue(key, plist::Value(std::move(paths)), kRegistryDomain);
  return store.synchronize(kRegistryDomain) ? RegistryResult::Recorded : RegistryResult::WriteFailed;
}

std::optional<std::vector<std::string>> registeredBundles(preferences::PreferenceStore& store,
                                                          const std::string& key) {
  store.synchronize(kRegistryDomain);
  std::vector<std::string> paths;
  auto current = store.copyAppValue(key, kRegistryDomain);
  if (!current) return paths;
  const plist::Array* array = current->asArray();
  if (!array) return std::nullopt;
  for (const auto& element : *array) {
    if (const std::string* path = element.asString()) paths.push_back(*path);
  }
  return paths;
}

}  // namespace sonarell::launchservices
