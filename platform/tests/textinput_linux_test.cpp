#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/launchservices/bundle_registry.h"
#include "platform/plist/codec.h"
#include "platform/tests/textinput_temp_home.h"
#include "platform/textinput/text_input_services_linux.h"

namespace sonarell::textinput {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::ModeSpec;
using testing::readFileBytes;
using testing::TempHome;
using testing::writeFile;
using testing::writeInputMethodBundle;
using testing::xmlPlist;

const std::string kOurs = "org.quennet.inputmethod.Sonarell";
const std::string kOurMode = "org.quennet.inputmethod.Sonarell.Hans";

Dictionary parentRecord(const std::string& bundleId) {
  return {{"InputSourceKind", Value("Keyboard Input Method")}, {"Bundle ID", Value(bundleId)}};
}
Dictionary modeRecord(const std::string& bundleId, const std::string& modeId) {
  return {{"InputSourceKind", Value("Input Mode")},
          {"Bundle ID", Value(bundleId)},
          {"Input Mode", Value(modeId)}};
}
Dictionary keyboardLayout() {
  return {{"InputSourceKind", Value("Keyboard Layout")},
          {"KeyboardLayout ID", Value(252)},
          {"KeyboardLayout Name", Value("ABC")}};
}

std::string id(const InputSource& source) {
  const Value* v = source.property(kTISPropertyInputSourceID);
  return v && v->asString() ? *v->asString() : "(none)";
}
std::vector<std::string> ids(const InputSourceList& list) {
  std::vector<std::string> out;
  for (const auto& s : list) out.push_back(id(s));
  return out;
}
bool enabled(const InputSource& source) {
  const Value* v = source.property(kTISPropertyInputSourceIsEnabled);
  return v && v->asBoolean() && *v->asBoolean();
}

std::optional<Array> enabledList(const TempHome& home) {
  auto top = plist::readFile(home.preferencesFile("com.apple.HIToolbox"));
  if (!top || !top->asDictionary()) return std::nullopt;
  const Value* list = top->asDictionary()->find("AppleEnabledInputSources");
  if (!list || !list->asArray()) return std::nullopt;
  return *list->asArray();
}

void seedHIToolbox(const TempHome& home, const Value& list) {
  Dictionary top{{"AppleCurrentKeyboardLayoutInputSourceID", Value("com.apple.keylayout.ABC")},
                 {"AppleEnabledInputSources", list}};
  auto xml = plist::toXml(Value(top));
  ASSERT_TRUE(xml);
  ASSERT_TRUE(writeFile(home.preferencesFile("com.apple.HIToolbox"), *xml));
}

class LinuxTextInput : public ::testing::Test {
 protected:
  TempHome home;
  LinuxTextInputServices tis{home.path()};

  std::string ourBundle() {
    return writeInputMethodBundle(home / "Library/Input Methods/Sonarell.app", kOurs, "Sonarell",
                                  {{kOurMode, "IPA"}});
  }
  InputSourceList all() {
    auto list = tis.createInputSourceList({}, true);
    EXPECT_TRUE(list);
    return list ? *list : InputSourceList{};
  }
  InputSource find(const std::string& sourceId) {
    for (auto& s : all())
      if (id(s) == sourceId) return s;
    ADD_FAILURE() << "no source " << sourceId;
    return {};
  }
};

TEST_F(LinuxTextInput, ListsEverySourceOfRegisteredBundlesInOrderWithItsProperties) {
  EXPECT_TRUE(all().empty());

  // Modes keep the file's order, which is not alphabetical here.
  std::string other =
      writeInputMethodBundle(home / "Other.app", "com.example.Other", std::nullopt,
                             {{"com.example.Other.Zeta", "Zeta"}, {"com.example.Other.Alpha", {}}});
  std::string ours = ourBundle();
  ASSERT_EQ(tis.registerInputSource(other), 0);
  ASSERT_EQ(tis.registerInputSource(ours), 0);

  auto list = all();
  ASSERT_EQ(ids(list), (std::vector<std::string>{"com.example.Other", "com.example.Other.Zeta",
                                                 "com.example.Other.Alpha", kOurs, kOurMode}));
  auto expected = [](const std::string& sourceId, std::string_view type, const std::string& bundleId,
                     std::optional<std::string> name) {
    Dictionary d{{std::string(kTISPropertyInputSourceID), Value(sourceId)},
                 {std::string(kTISPropertyInputSourceType), Value(std::string(type))},
                 {std::string(kTISPropertyInputSourceIsEnableCapable), Value(true)},
                 {std::string(kTISPropertyInputSourceIsEnabled), Value(false)},
                 {std::string(kTISPropertyBundleID), Value(bundleId)}};
    if (name) d.set(std::string(kTISPropertyLocalizedName), Value(*name));
    return d;
  };
  // A bundle without a name and a mode without a menu title have no localized name at all.
  EXPECT_EQ(list[0].properties,
            expected("com.example.Other", kTISTypeKeyboardInputMethodModeEnabled, "com.example.Other", {}));
  EXPECT_EQ(list[1].properties,
            expected("com.example.Other.Zeta", kTISTypeKeyboardInputMode, "com.example.Other", "Zeta"));
  EXPECT_EQ(list[2].properties,
            expected("com.example.Other.Alpha", kTISTypeKeyboardInputMode, "com.example.Other", {}));
  EXPECT_EQ(list[2].property(kTISPropertyLocalizedName), nullptr);
  EXPECT_EQ(list[3].properties, expected(kOurs, kTISTypeKeyboardInputMethodModeEnabled, kOurs, "Sonarell"));
  EXPECT_EQ(list[4].properties, expected(kOurMode, kTISTypeKeyboardInputMode, kOurs, "IPA"));

  // Info.plist is read afresh: an edit shows, a removal drops the bundle's sources.
  writeInputMethodBundle(ours, kOurs, "Sonarell 2", {{kOurMode, "IPA"}, {kOurs + ".Latn", "Latin"}});
  EXPECT_EQ(ids(all()),
            (std::vector<std::string>{"com.example.Other", "com.example.Other.Zeta",
                                      "com.example.Other.Alpha", kOurs, kOurMode, kOurs + ".Latn"}));
  EXPECT_EQ(*find(kOurs).property(kTISPropertyLocalizedName), Value("Sonarell 2"));
  std::filesystem::remove(ours + "/Contents/Info.plist");
  EXPECT_EQ(ids(all()), (std::vector<std::string>{"com.example.Other", "com.example.Other.Zeta",
                                                  "com.example.Other.Alpha"}));
  // Back again, at its old place in the registration order.
  ourBundle();
  EXPECT_EQ(ids(all()).size(), 5u);
  EXPECT_EQ(ids(all())[3], kOurs);
}

TEST_F(LinuxTextInput, RegistryHoldsAbsoluteStandardPathsOnceInRegistrationOrder) {
  std::string ours = ourBundle();
  std::string other = writeInputMethodBundle(home / "Other.app", "com.example.Other", "Other", {});
  ASSERT_EQ(tis.registerInputSource(ours), 0);
  ASSERT_EQ(tis.registerInputSource(other + "/"), 0);
  // The same bundles again, spelt differently: nothing moves or doubles.
  ASSERT_EQ(tis.registerInputSource(home / "Library/./Input Methods//../Input Methods/Sonarell.app/"), 0);
  std::string previous = std::filesystem::current_path().string();
  ASSERT_EQ(chdir(home.path().c_str()), 0);
  EXPECT_EQ(tis.registerInputSource("Other.app"), 0);
  ASSERT_EQ(chdir(previous.c_str()), 0);

  auto registry = plist::readFile(home.preferencesFile(launchservices::kRegistryDomain));
  ASSERT_TRUE(registry && registry->asDictionary());
  const Value* paths = registry->asDictionary()->find("TISRegisteredBundles");
  ASSERT_NE(paths, nullptr);
  EXPECT_EQ(*paths, Value(Array{Value(ours), Value(other)}));
  EXPECT_EQ(ids(all()), (std::vector<std::string>{kOurs, kOurMode, "com.example.Other"}));
}

TEST_F(LinuxTextInput, RegisteringWhatIsNoBundleWithAnIdentifierFailsAndRecordsNothing) {
  writeFile(home / "Array.app/Contents/Info.plist", xmlPlist("<array><string>x</string></array>"));
  writeFile(home / "Broken.app/Contents/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>");
  writeFile(home / "NoId.app/Contents/Info.plist",
            xmlPlist("<dict><key>CFBundleName</key><string>N</string></dict>"));
  writeFile(home / "IntId.app/Contents/Info.plist",
            xmlPlist("<dict><key>CFBundleIdentifier</key><integer>7</integer></dict>"));
  writeFile(home / "EmptyId.app/Contents/Info.plist",
            xmlPlist("<dict><key>CFBundleIdentifier</key><string></string></dict>"));
  std::filesystem::create_directories(home / "Empty.app/Contents");
  for (std::string path :
       {home / "Missing.app", home / "Empty.app", home / "Array.app", home / "Broken.app", home / "NoId.app",
        home / "IntId.app", home / "EmptyId.app", std::string(), std::string("bad\xff.app")}) {
    EXPECT_EQ(tis.registerInputSource(path), kParamErr) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(home.preferencesFile(launchservices::kRegistryDomain)));
  EXPECT_TRUE(all().empty());
}

TEST_F(LinuxTextInput, RegistryThatCannotBeReadOrWrittenIsReportedAndLeftAlone) {
  std::string ours = ourBundle();
  // A registry entry that is no list: neither used nor replaced.
  std::string foreign = xmlPlist("<dict><key>TISRegisteredBundles</key><string>odd</string></dict>");
  writeFile(home.preferencesFile(launchservices::kRegistryDomain), foreign);
  EXPECT_NE(tis.registerInputSource(ours), 0);
  EXPECT_EQ(tis.createInputSourceList({}, true), std::nullopt);
  EXPECT_EQ(readFileBytes(home.preferencesFile(launchservices::kRegistryDomain)), foreign);

  // A home whose Library is a file: nothing can be written below it.
  TempHome blocked;
  writeFile(blocked / "Library", "not a folder");
  std::string bundle =
      writeInputMethodBundle(blocked / "Sonarell.app", kOurs, "Sonarell", {{kOurMode, "IPA"}});
  LinuxTextInputServices blockedTis(blocked.path());
  EXPECT_EQ(blockedTis.registerInputSource(bundle), kWritePermissionErr);
  EXPECT_EQ(readFileBytes(blocked / "Library"), "not a folder");
}

TEST_F(LinuxTextInput, FiltersAndTheEnabledOnlyListKeepExactlyTheMatchingSources) {
  ASSERT_EQ(tis.registerInputSource(writeInputMethodBundle(home / "Other.app", "com.example.Other", "Other",
                                                           {{"com.example.Other.M", {}}})),
            0);
  ASSERT_EQ(tis.registerInputSource(ourBundle()), 0);
  seedHIToolbox(home, Value(Array{Value(modeRecord("com.example.Other", "com.example.Other.M"))}));

  auto filtered = [&](Dictionary filter, bool includeAll) {
    auto list = tis.createInputSourceList(filter, includeAll);
    EXPECT_TRUE(list);
    return list ? ids(*list) : std::vector<std::string>{};
  };
  EXPECT_EQ(filtered({{std::string(kTISPropertyBundleID), Value(kOurs)}}, true),
            (std::vector<std::string>{kOurs, kOurMode}));
  EXPECT_EQ(
      filtered({{std::string(kTISPropertyInputSourceType), Value(std::string(kTISTypeKeyboardInputMode))}},
               true),
      (std::vector<std::string>{"com.example.Other.M", kOurMode}));
  EXPECT_EQ(filtered({{std::string(kTISPropertyBundleID), Value(kOurs)},
                      {std::string(kTISPropertyInputSourceID), Value(kOurMode)}},
                     true),
            (std::vector<std::string>{kOurMode}));
  // A property a source lacks never equals the filter's value.
  EXPECT_EQ(filtered({{std::string(kTISPropertyLocalizedName), Value("Other")}}, true),
            (std::vector<std::string>{"com.example.Other"}));
  // Values compare with their type: the string "1" is not the boolean true.
  EXPECT_TRUE(filtered({{std::string(kTISPropertyInputSourceIsEnableCapable), Value("1")}}, true).empty());
  EXPECT_EQ(filtered({{std::string(kTISPropertyInputSourceIsEnabled), Value(true)}}, true),
            (std::vector<std::string>{"com.example.Other.M"}));
  EXPECT_EQ(filtered({}, false), (std::vector<std::string>{"com.example.Other.M"}));
  EXPECT_TRUE(filtered({{std::string(kTISPropertyBundleID), Value(kOurs)}}, false).empty());
}

TEST_F(LinuxTextInput, EnabledStateComesFromMatchingRecordsReadWhenTheListIsMade) {
  ASSERT_EQ(tis.registerInputSource(ourBundle()), 0);
  EXPECT_FALSE(enabled(find(kOurs)));  // no preference file at all

  // Records that nearly match do not count; further keys in a record do not matter.
  Dictionary parentWithExtras = parentRecord(kOurs);
  parentWithExtras.set("Added By Platform", Value(1));
  seedHIToolbox(home,
                Value(Array{Value(keyboardLayout()), Value("a string element"),
                            Value(Dictionary{{"InputSourceKind", Value("Input Mode")},
                                             {"Bundle ID", Value(kOurs)},
                                             {"Input Mode", Value(kOurs + ".Other")}}),
                            Value(Dictionary{{"Bundle ID", Value(kOurs)}, {"Input Mode", Value(kOurMode)}}),
                            Value(parentWithExtras)}));
  auto list = all();
  ASSERT_EQ(ids(list), (std::vector<std::string>{kOurs, kOurMode}));
  EXPECT_TRUE(enabled(list[0]));
  EXPECT_FALSE(enabled(list[1]));

  // A snapshot keeps its state; the next list sees the change on disk.
  seedHIToolbox(home, Value(Array{Value(modeRecord(kOurs, kOurMode))}));
  EXPECT_TRUE(enabled(list[0]));
  list = all();
  EXPECT_FALSE(enabled(list[0]));
  EXPECT_TRUE(enabled(list[1]));

  // A kind of the wrong type, or a list that is not an array, enables nothing.
  seedHIToolbox(home,
                Value(Array{Value(Dictionary{{"InputSourceKind", Value(1)}, {"Bundle ID", Value(kOurs)}})}));
  EXPECT_FALSE(enabled(find(kOurs)));
  seedHIToolbox(home, Value(parentRecord(kOurs)));
  EXPECT_FALSE(enabled(find(kOurs)));
}

TEST_F(LinuxTextInput, EnablingAppendsExactlyTheRecordOnceAndKeepsEverythingElseInPlace) {
  ASSERT_EQ(tis.registerInputSource(ourBundle()), 0);
  Array seeded{Value(keyboardLayout()), Value(parentRecord("com.example.Other")), Value("a string element"),
               Value(modeRecord("com.example.Other", "com.example.Other.M"))};
  seedHIToolbox(home, Value(seeded));

  EXPECT_EQ(tis.enableInputSource(find(kOurs)), 0);
  Array expected = seeded;
  expected.push_back(Value(parentRecord(kOurs)));
  EXPECT_EQ(enabledList(home), expected);
  EXPECT_TRUE(enabled(find(kOurs)));

  EXPECT_EQ(tis.enableInputSource(find(kOurMode)), 0);
  expected.push_back(Value(modeRecord(kOurs, kOurMode)));
  EXPECT_EQ(enabledList(home), expected);
  // Exactly the two- and three-key records, and the domain's other keys survive.
  const Dictionary* last = expected.back().asDictionary();
  ASSERT_NE(last, nullptr);
  auto top = plist::readFile(home.preferencesFile("com.apple.HIToolbox"));
  ASSERT_TRUE(top && top->asDictionary());
  EXPECT_EQ(*top->asDictionary()->find("AppleCurrentKeyboardLayoutInputSourceID"),
            Value("com.apple.keylayout.ABC"));
  EXPECT_EQ(top->asDictionary()->find("AppleEnabledInputSources")->asArray()->back(), Value(*last));

  // Enabling what is enabled already writes nothing.
  std::string path = home.preferencesFile("com.apple.HIToolbox");
  auto bytes = readFileBytes(path);
  auto identity = testing::fileIdentity(path);
  EXPECT_EQ(tis.enableInputSource(find(kOurs)), 0);
  EXPECT_EQ(tis.enableInputSource(find(kOurMode)), 0);
  EXPECT_EQ(readFileBytes(path), bytes);
  EXPECT_EQ(testing::fileIdentity(path), identity);
}

TEST_F(LinuxTextInput, EnablingWithoutAnEnabledListCreatesIt) {
  ASSERT_EQ(tis.registerInputSource(ourBundle()), 0);
  EXPECT_EQ(tis.enableInputSource(find(kOurMode)), 0);
  EXPECT_EQ(enabledList(home), (Array{Value(modeRecord(kOurs, kOurMode))}));

  // The domain exists with other keys but without the list.
  TempHome second;
  LinuxTextInputServices tis2(second.path());
  std::string bundle = writeInputMethodBundle(second / "S.app", kOurs, "Sonarell", {{kOurMode, "IPA"}});
  ASSERT_EQ(tis2.registerInputSource(bundle), 0);
  writeFile(second.preferencesFile("com.apple.HIToolbox"),
            xmlPlist("<dict><key>AppleFnUsageType</key><integer>2</integer></dict>"));
  auto list = tis2.createInputSourceList({}, true);
  ASSERT_TRUE(list && !list->empty());
  EXPECT_EQ(tis2.enableInputSource(list->front()), 0);
  auto top = plist::readFile(second.preferencesFile("com.apple.HIToolbox"));
  ASSERT_TRUE(top && top->asDictionary());
  EXPECT_EQ(*top->asDictionary(),
            (Dictionary{{"AppleFnUsageType", Value(2)},
                        {"AppleEnabledInputSources", Value(Array{Value(parentRecord(kOurs))})}}));
}

TEST_F(LinuxTextInput, RefusedEnablingWritesNothing) {
  std::string ours = ourBundle();
  ASSERT_EQ(tis.registerInputSource(ours), 0);
  InputSource parent = find(kOurs);
  InputSource mode = find(kOurMode);
  std::string path = home.preferencesFile("com.apple.HIToolbox");

  auto refused = [&](const InputSource& source, const std::string& why) {
    auto before = readFileBytes(path);
    EXPECT_NE(tis.enableInputSource(source), 0) << why;
    EXPECT_EQ(readFileBytes(path), before) << why;
  };

  // The list is there but is no array.
  writeFile(
      path,
      xmlPlist(
          "<dict><key>AppleEnabledInputSources</key><dict><key>a</key><string>b</string></dict></dict>"));
  refused(parent, "not an array");
  writeFile(path, xmlPlist("<dict><key>AppleEnabledInputSources</key><string>x</string></dict>"));
  refused(mode, "a string");
  // A preference file that is no property list is never replaced.
  writeFile(path, "garbage, not a property list");
  refused(parent, "corrupt file");

  seedHIToolbox(home, Value(Array{Value(keyboardLayout())}));
  // Sources that no registered bundle provides, or of a type it does not know.
  InputSource unknownType = parent;
  unknownType.properties.set(std::string(kTISPropertyInputSourceType), Value("TISTypeKeyboardLayout"));
  refused(unknownType, "unknown type");
  InputSource strangerMode = mode;
  strangerMode.properties.set(std::string(kTISPropertyInputSourceID), Value(kOurs + ".Unknown"));
  refused(strangerMode, "mode the bundle does not have");
  refused(InputSource{}, "empty source");

  // The bundle went away after the list was made.
  std::filesystem::remove(ours + "/Contents/Info.plist");
  refused(parent, "bundle gone");
  refused(mode, "bundle gone");
  EXPECT_EQ(enabledList(home), (Array{Value(keyboardLayout())}));
}

}  // namespace
}  // namespace sonarell::textinput
