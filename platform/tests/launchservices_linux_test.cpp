#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/launchservices/bundle_registry.h"
#include "platform/launchservices/launch_services_linux.h"
#include "platform/plist/codec.h"
#include "platform/tests/textinput_temp_home.h"
#include "platform/textinput/text_input_services_linux.h"

namespace sonarell::launchservices {
namespace {

using plist::Array;
using plist::Value;
using testing::readFileBytes;
using testing::TempHome;
using testing::writeFile;
using testing::xmlPlist;

std::optional<Value> registryKey(const TempHome& home, const std::string& key) {
  auto top = plist::readFile(home.preferencesFile(kRegistryDomain));
  if (!top || !top->asDictionary()) return std::nullopt;
  const Value* v = top->asDictionary()->find(key);
  return v ? std::optional<Value>(*v) : std::nullopt;
}

TEST(LinuxLaunchServices, RecordsBundlesOnceInOrderBesideTheTextInputRegistry) {
  TempHome home;
  LinuxLaunchServices ls(home.path());
  textinput::LinuxTextInputServices tis(home.path());
  // Launch Services takes any bundle, with or without an identifier.
  std::string first = home / "First.app";
  writeFile(first + "/Contents/Info.plist",
            xmlPlist("<dict><key>CFBundleName</key><string>F</string></dict>"));
  std::string second =
      testing::writeInputMethodBundle(home / "Second.app", "org.quennet.inputmethod.Sonarell", "S", {});

  EXPECT_EQ(ls.registerURL(second, true), 0);
  EXPECT_EQ(tis.registerInputSource(second), 0);
  EXPECT_EQ(ls.registerURL(first + "/", false), 0);
  EXPECT_EQ(ls.registerURL(home / "./Second.app", true), 0);

  EXPECT_EQ(registryKey(home, kLaunchServicesKey), Value(Array{Value(second), Value(first)}));
  EXPECT_EQ(registryKey(home, kTextInputKey), Value(Array{Value(second)}));
}

TEST(LinuxLaunchServices, RefusesWhatIsNoBundleAndLeavesAForeignRegistryAlone) {
  TempHome home;
  LinuxLaunchServices ls(home.path());
  writeFile(home / "Plain/file.txt", "x");
  writeFile(home / "ArrayInfo.app/Contents/Info.plist", xmlPlist("<array/>"));
  writeFile(home / "Corrupt.app/Contents/Info.plist", "not a plist");
  for (std::string path :
       {home / "Missing.app", home / "Plain", home / "ArrayInfo.app", home / "Corrupt.app", std::string()}) {
    EXPECT_EQ(ls.registerURL(path, true), kLSApplicationNotFoundErr) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(home.preferencesFile(kRegistryDomain)));

  std::string bundle = home / "Good.app";
  writeFile(bundle + "/Contents/Info.plist", xmlPlist("<dict/>"));
  std::string odd = xmlPlist("<dict><key>LSRegisteredBundles</key><integer>3</integer></dict>");
  writeFile(home.preferencesFile(kRegistryDomain), odd);
  EXPECT_NE(ls.registerURL(bundle, true), 0);
  EXPECT_EQ(readFileBytes(home.preferencesFile(kRegistryDomain)), odd);
}

TEST(LinuxLaunchServices, PathsAreMadeAbsoluteAndStandard) {
  std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(absoluteStandardPath("a/./b//c/../d/"), cwd + "/a/b/d");
  EXPECT_EQ(absoluteStandardPath("/x/y/.."), "/x");
  EXPECT_EQ(absoluteStandardPath(""), std::nullopt);
  EXPECT_EQ(absoluteStandardPath("/bad\xc3"), std::nullopt);
}

}  // namespace
}  // namespace sonarell::launchservices
