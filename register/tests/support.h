#pragma once

// Helpers shared by the tool's tests: temporary folders, files, bundles and
// captured output streams.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "tests/support/scratch.h"

namespace sonarell::keyloom::testing {

// A fresh folder under the given parent (TMPDIR by default), removed with all it
// holds when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = std::filesystem::temp_directory_path().string()) {
    std::string pattern = parent + "/keyloom-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

using testsupport::xmlPlist;

// An input method bundle as the text-input stand-in reads it: the parent, named
// by CFBundleName, and the one mode of ComponentInputModeDict.
inline std::string inputMethodInfo(const std::string& identifier, const std::string& modeID) {
  return xmlPlist("<dict>\n<key>CFBundleIdentifier</key><string>" + identifier +
                  "</string>\n<key>CFBundleName</key><string>Sonarell</string>\n"
                  "<key>ComponentInputModeDict</key><dict><key>tsInputModeListKey</key><dict>\n<key>" +
                  modeID +
                  "</key><dict><key>tsInputModeMenuTitle</key><string>IPA</string></dict>\n"
                  "</dict></dict>\n</dict>");
}

// Makes <path>/Contents/Info.plist for a bundle with the identifier.
inline void makeBundle(const std::string& path, const std::string& identifier,
                       const std::string& modeID = "org.quennet.inputmethod.Sonarell.Hans") {
  writeFile(path + "/Contents/Info.plist", inputMethodInfo(identifier, modeID));
}

// Output and error streams the components write to, read back as text.
class CapturedStreams {
 public:
  CapturedStreams() : out_(std::tmpfile(), &std::fclose), err_(std::tmpfile(), &std::fclose) {}
  std::FILE* out() const { return out_.get(); }
  std::FILE* err() const { return err_.get(); }
  std::string outText() const { return contents(out_.get()); }
  std::string errText() const { return contents(err_.get()); }

 private:
  static std::string contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fseek(file, 0, SEEK_END);
    return text;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> err_;
};

}  // namespace sonarell::keyloom::testing
