#include "platform/fs/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <vector>

#include "platform/unicode/utf8.h"

namespace sonarell::fs {
namespace {

// Enough for any chain a sane tree holds; more than this is treated as a loop.
constexpr int kMaxSymlinks = 40;

std::vector<std::string> splitComponents(std::string_view path) {
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) components.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

std::string join(bool absolute, const std::vector<std::string>& components) {
  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) result += '/';
    result += components[i];
  }
  return result;
}

// Doubled separators folded into one and a trailing separator dropped ("/" stays).
std::string collapseSeparators(std::string_view path) {
  std::string result;
  result.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !result.empty() && result.back() == '/') continue;
    result += c;
  }
  if (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

// Appends one component to a lexically reduced list: "." and "" vanish, ".." removes
// the component before it, stays at the root of an absolute path, and is kept at the
// front of a relative one where there is nothing left to remove.
void pushComponent(std::vector<std::string>& components, bool absolute, const std::string& c) {
  if (c.empty() || c == ".") return;
  if (c == "..") {
    if (!components.empty() && components.back() != "..") {
      components.pop_back();
    } else if (!absolute) {
      components.push_back(c);
    }
    return;
  }
  components.push_back(c);
}

std::optional<std::string> homeOfUser(const std::string& user) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  for (;;) {
    const int rc = ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
      return std::nullopt;
    }
    return std::string(found->pw_dir);
  }
}

// "~" and "~/rest" take the current user's home, "~name" and "~name/rest" that
// user's; anything that cannot be expanded is left as written.
std::string expandTilde(std::string_view path) {
  if (path.empty() || path.front() != '~') return std::string(path);
  const std::size_t slash = path.find('/');
  const std::string_view user = path.substr(1, slash == std::string_view::npos ? path.npos : slash - 1);
  const std::string_view rest = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  std::optional<std::string> home;
  if (user.empty()) {
    std::string own = homeDirectory();
    if (!own.empty()) home = std::move(own);
  } else {
    home = homeOfUser(std::string(user));
  }
  if (!home) return std::string(path);
  return *home + std::string(rest);
}

bool isSymlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::optional<std::string> readLink(const std::string& path) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    if (buffer.size() >= (1u << 16)) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

bool isValidUtf8(std::string_view bytes) { return unicode::isValidUtf8(bytes); }

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  for (;;) {
    const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return {};
    return found->pw_dir;
  }
}

std::optional<std::string> standardizePath(std::string_view path) {
  // A NUL would silently cut the path short on its way to the file system.
  if (!isValidUtf8(path) || path.find('\0') != std::string_view::npos) return std::nullopt;
  if (path.empty()) return std::string();
  const std::string expanded = expandTilde(path);
  const bool absolute = !expanded.empty() && expanded.front() == '/';
  std::vector<std::string> components;
  for (const auto& c : splitComponents(expanded)) pushComponent(components, absolute, c);
  if (!absolute && components.empty()) return std::string(".");
  return join(absolute, components);
}

std::string resolveSymlinks(const std::string& path) {
  const std::optional<std::string> standard = standardizePath(path);
  if (!standard) return path;
  if (standard->empty()) return *standard;

  const bool inputAbsolute = standard->front() == '/';
  bool absolute = inputAbsolute;
  std::vector<std::string> resolved;
  const auto initial = splitComponents(*standard);
  std::deque<std::string> pending(initial.begin(), initial.end());
  int links = 0;

  while (!pending.empty()) {
    std::string c = std::move(pending.front());
    pending.pop_front();
    if (c.empty() || c == "." || c == "..") {
      pushComponent(resolved, absolute, c);
      continue;
    }
    std::vector<std::string> candidateComponents = resolved;
    candidateComponents.push_back(c);
    const std::string candidate = join(absolute, candidateComponents);
    if (!isSymlink(candidate)) {
      resolved = std::move(candidateComponents);
      continue;
    }
    const std::optional<std::string> target = readLink(candidate);
    if (!target || ++links > kMaxSymlinks) return *standard;
    if (!target->empty() && target->front() == '/') {
      absolute = true;
      resolved.clear();
    }
    const auto targetComponents = splitComponents(*target);
    pending.insert(pending.begin(), targetComponents.begin(), targetComponents.end());
  }
  if (!absolute && resolved.empty()) return ".";
  return join(absolute, resolved);
}

std::string lastPathComponent(const std::string& path) {
  const std::string collapsed = collapseSeparators(path);
  if (collapsed == "/") return collapsed;
  const std::size_t slash = collapsed.rfind('/');
  return slash == std::string::npos ? collapsed : collapsed.substr(slash + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
  const std::string collapsed = collapseSeparators(path);
  if (collapsed == "/") return collapsed;
  const std::size_t slash = collapsed.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return collapsed.substr(0, slash);
}

std::string appendingPathComponent(const std::string& path, std::string_view component) {
  if (path.empty()) return collapseSeparators(component);
  return collapseSeparators(path + "/" + std::string(component));
}

}  // namespace sonarell::fs
