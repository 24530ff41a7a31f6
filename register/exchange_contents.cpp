#include "register/exchange_contents.h"

#include <cerrno>
#include <optional>
#include <string_view>

#include "platform/bundle/bundle.h"
#include "platform/exchange/atomic_exchange.h"
#include "platform/fs/file_type.h"
#include "platform/fs/paths.h"
#include "register/identifiers.h"

namespace sonarell::keyloom {

namespace {

// A real directory, reached without any link, directly inside a bundle that
// carries our identifier.
bool isOwnContentsFolder(const std::string& path) {
  if (fs::resolveSymlinks(path) != path) return false;
  if (fs::fileTypeAt(path) != fs::FileType::Directory) return false;
  const auto identifier = bundle::identifier(fs::deletingLastPathComponent(path));
  return identifier && *identifier == BundleID;
}

// Standardising resolves ".." against the components written before it, while
// the system resolves it against where they lead; the two disagree when a link
// stands before a "..". Such a path is not reached without links as written,
// however its standard form looks.
bool noDotDotAfterALink(std::string_view path) {
  for (std::size_t at = path.find(".."); at != std::string_view::npos; at = path.find("..", at + 2)) {
    const bool component = (at == 0 || path[at - 1] == '/') && (at + 2 == path.size() || path[at + 2] == '/');
    // A leading ".." climbs from the working folder, which the system keeps as a real path.
    if (!component || at == 0) continue;
    const std::optional<std::string> before = fs::standardizePath(path.substr(0, at));
    if (!before || fs::resolveSymlinks(*before) != *before) return false;
  }
  return true;
}

}  // namespace

int ExchangeContents(const char* installed, const char* staged, const std::string& home, Streams streams) {
  const std::optional<std::string> from = fs::standardizePath(installed);
  const std::optional<std::string> to = fs::standardizePath(staged);
  if (!from || !to) return 2;
  if (!noDotDotAfterALink(installed) || !noDotDotAfterALink(staged)) return 2;

  // The home folder in standard form too, so that every spelling of one home
  // names the same installed folder; a home reached through a link still fails
  // the link test below.
  const std::optional<std::string> standardHome = fs::standardizePath(home);
  if (!standardHome || standardHome->empty()) return 2;
  const std::string installedContents = fs::appendingPathComponent(*standardHome, kInstalledContentsRelative);
  if (*from != installedContents) return 2;
  if (fs::lastPathComponent(*to) != "Contents") return 2;
  // Exchanging a folder with itself succeeds without moving anything; reporting
  // that as a done upgrade would leave the old version in place unnoticed.
  if (*to == *from) return 2;

  if (!isOwnContentsFolder(*from)) return 2;
  if (!isOwnContentsFolder(*to)) return 2;

  const Reporter report(streams);
  if (exchange::exchangePaths(from->c_str(), to->c_str()) != 0) {
    report.systemError("Atomic input-method upgrade", errno);
    return 1;
  }
  report.atomicContentsExchange();
  return 0;
}

}  // namespace sonarell::keyloom
