#pragma once

// A temporary home folder for one test, removed with everything in it on exit,
// and small helpers to write bundles and preference files into it.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scratch.h"

namespace sonarell::testing {

class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sonarell-home-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path_ = buffer.data();
  }
  ~TempHome() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
  std::string preferencesFile(const std::string& domain) const {
    return path_ + "/Library/Preferences/" + domain + ".plist";
  }

 private:
  std::string path_;
};

inline bool writeFile(const std::string& path, const std::string& bytes) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

inline std::optional<std::string> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Identity of the file now at the path: a rewrite through rename changes it.
inline std::optional<std::pair<ino_t, long>> fileIdentity(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::make_pair(st.st_ino, static_cast<long>(st.st_mtim.tv_nsec ^ st.st_mtim.tv_sec));
}

using testsupport::xmlPlist;

struct ModeSpec {
  std::string id;
  std::optional<std::string> menuTitle;
};

// An input method bundle whose Info.plist names the identifier, the name and the
// modes, in this order.
inline std::string writeInputMethodBundle(const std::string& bundlePath, const std::string& identifier,
                                          const std::optional<std::string>& name,
                                          const std::vector<ModeSpec>& modes) {
  std::string body = "<dict>\n<key>CFBundleIdentifier</key><string>" + identifier + "</string>\n";
  if (name) body += "<key>CFBundleName</key><string>" + *name + "</string>\n";
  if (!modes.empty()) {
    body += "<key>ComponentInputModeDict</key><dict><key>tsInputModeListKey</key><dict>\n";
    for (const auto& mode : modes) {
      body += "<key>" + mode.id + "</key><dict><key>tsInputModePrimaryInScriptKey</key><true/>";
      if (mode.menuTitle) body += "<key>tsInputModeMenuTitle</key><string>" + *mode.menuTitle + "</string>";
      body += "</dict>\n";
    }
    body += "</dict></dict>\n";
  }
  body += "</dict>";
  writeFile(bundlePath + "/Contents/Info.plist", xmlPlist(body));
  return bundlePath;
}

}  // namespace sonarell::testing
