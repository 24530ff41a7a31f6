// The text-input and Launch Services stand-ins: their registries, sources and enabled-source list.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "platform/launchservices/bundle_registry.h"
#include "platform/launchservices/launch_services_linux.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "platform/textinput/text_input_services_linux.h"
#include "tests/support/bundle.h"

namespace sonarell::textinput {
namespace {

using launchservices::kRegistryDomain;
using plist::Array;
using plist::Dictionary;
using plist::Value;
using namespace sonarell::test;

const std::string& kOurs = test::kInputMethodId;
const std::string& kOurMode = test::kInputModeId;
const Value kLayout = test::layoutRecord(252, "ABC");

class LinuxTextInput : public ::testing::Test {
 protected:
  std::string prefs(const std::string& domain) const {
    return home_ + "/Library/Preferences/" + domain + ".plist";
  }
  std::string ourBundle() const {
    return writeInputMethodBundle(home_ + "/Library/Input Methods/Sonarell.app", kOurs, "Sonarell",
                                  {{kOurMode, "IPA"}});
  }
  void seed(const Value& list) const {
    writeFile(prefs(kHIToolboxDomain),
              xmlOf(Dictionary{{"AppleCurrentKeyboardLayoutInputSourceID", "com.apple.keylayout.ABC"},
                               {kEnabledInputSourcesKey, list}}));
  }
  std::optional<Value> key(const std::string& domain, const std::string& name) const {
    const auto top = plist::readFile(prefs(domain));
    const Value* v = top && top->asDictionary() ? top->asDictionary()->find(name) : nullptr;
    return v ? std::optional<Value>(*v) : std::nullopt;
  }
  InputSourceList list(const Dictionary& filter = {}, bool includeAll = true) {
    auto list = tis.createInputSourceList(filter, includeAll);
    EXPECT_TRUE(list);
    return list.value_or(InputSourceList{});
  }
  std::vector<std::string> ids(const Dictionary& filter = {}, bool includeAll = true) {
    std::vector<std::string> out;
    for (const auto& s : list(filter, includeAll))
      out.push_back(*s.property(kTISPropertyInputSourceID)->asString());
    return out;
  }
  InputSource find(const std::string& id) {
    const auto found = list({{std::string(kTISPropertyInputSourceID), Value(id)}});
    EXPECT_EQ(found.size(), 1u) << id;
    return found.empty() ? InputSource{} : found[0];
  }
  static bool enabled(const InputSource& s) {
    return *s.property(kTISPropertyInputSourceIsEnabled) == Value(true);
  }
  // The enabled list's file as it is (none: empty), and the inode and time a rewrite would change.
  auto stamp() const {
    struct stat st {};
    const bool there = ::stat(prefs(kHIToolboxDomain).c_str(), &st) == 0;
    return std::tuple(there ? readFile(prefs(kHIToolboxDomain)) : "", st.st_ino, st.st_mtim.tv_sec,
                      st.st_mtim.tv_nsec);
  }

  test::TempDir scratch_{"sonarell-home"};
  const std::string home_ = scratch_.str();
  LinuxTextInputServices tis{home_};
};

TEST_F(LinuxTextInput, ListsEverySourceOfRegisteredBundlesInRegistrationOrder) {
  EXPECT_TRUE(ids().empty());
  // Modes keep the file's order, which is not alphabetical here.
  const std::string other =
      writeInputMethodBundle(home_ + "/Other.app", "com.example.Other", std::nullopt,
                             {{"com.example.Other.Zeta", "Zeta"}, {"com.example.Other.Alpha", {}}});
  const std::string ours = ourBundle();
  ASSERT_EQ(tis.registerInputSource(other + "/"), 0);
  ASSERT_EQ(tis.registerInputSource(ours), 0);
  // The same bundles again, spelt differently: nothing moves or doubles.
  ASSERT_EQ(tis.registerInputSource(home_ + "/Library/./Input Methods//../Input Methods/Sonarell.app/"), 0);
  const std::string previous = std::filesystem::current_path();
  ASSERT_EQ(::chdir(home_.c_str()), 0);
  EXPECT_EQ(tis.registerInputSource("Other.app"), 0);
  ASSERT_EQ(::chdir(previous.c_str()), 0);
  EXPECT_EQ(key(kRegistryDomain, launchservices::kTextInputKey), Value(Array{Value(other), Value(ours)}));

  // A bundle without a name and a mode without a menu title have no localized name at all.
  const auto expected = [](const std::string& id, std::string_view type, const std::string& bundleId,
                           std::optional<std::string> name) {
    Dictionary d{{std::string(kTISPropertyInputSourceID), Value(id)},
                 {std::string(kTISPropertyInputSourceType), Value(std::string(type))},
                 {std::string(kTISPropertyInputSourceIsEnableCapable), Value(true)},
                 {std::string(kTISPropertyInputSourceIsEnabled), Value(false)},
                 {std::string(kTISPropertyBundleID), Value(bundleId)}};
    if (name) d.set(std::string(kTISPropertyLocalizedName), Value(*name));
    return d;
  };
  std::vector<Dictionary> properties;
  for (const auto& source : list()) properties.push_back(source.properties);
  EXPECT_EQ(
      properties,
      (std::vector<Dictionary>{
          expected("com.example.Other", kTISTypeKeyboardInputMethodModeEnabled, "com.example.Other", {}),
          expected("com.example.Other.Zeta", kTISTypeKeyboardInputMode, "com.example.Other", "Zeta"),
          expected("com.example.Other.Alpha", kTISTypeKeyboardInputMode, "com.example.Other", {}),
          expected(kOurs, kTISTypeKeyboardInputMethodModeEnabled, kOurs, "Sonarell"),
          expected(kOurMode, kTISTypeKeyboardInputMode, kOurs, "IPA")}));

  // Info.plist is read afresh; a bundle back again is at its old place in the registration order.
  writeInputMethodBundle(ours, kOurs, "Sonarell 2", {{kOurMode, "IPA"}, {kOurs + ".Latn", "Latin"}});
  EXPECT_EQ(ids().back(), kOurs + ".Latn");
  EXPECT_EQ(*find(kOurs).property(kTISPropertyLocalizedName), Value("Sonarell 2"));
  std::filesystem::remove(ours + "/Contents/Info.plist");
  EXPECT_EQ(ids().size(), 3u);
  ourBundle();
  EXPECT_EQ(ids().at(3), kOurs);

  // Launch Services keeps its own list beside it, and takes any bundle, with or without an identifier.
  launchservices::LinuxLaunchServices ls(home_);
  writeInfoPlist(home_ + "/First.app", Dictionary{{"CFBundleName", "F"}});
  EXPECT_EQ(ls.registerURL(ours, true), 0);
  EXPECT_EQ(ls.registerURL(home_ + "/First.app/", false), 0);
  EXPECT_EQ(ls.registerURL(home_ + "/Library/Input Methods/./Sonarell.app", true), 0);
  EXPECT_EQ(key(kRegistryDomain, launchservices::kLaunchServicesKey),
            Value(Array{Value(ours), Value(home_ + "/First.app")}));
  EXPECT_EQ(key(kRegistryDomain, launchservices::kTextInputKey), Value(Array{Value(other), Value(ours)}));
}

TEST_F(LinuxTextInput, WhatIsNoBundleOrAnUnusableRegistryIsRefusedAndLeftAlone) {
  for (const auto& [name, info] : std::vector<std::pair<std::string, std::string>>{
           {"Array", xmlPlist("<array><string>x</string></array>")},
           {"Broken", "<?xml version=\"1.0\"?><plist><dict><key>"},
           {"NoId", xmlPlist("<dict><key>CFBundleName</key><string>N</string></dict>")},
           {"IntId", xmlPlist("<dict><key>CFBundleIdentifier</key><integer>7</integer></dict>")},
           {"EmptyId", xmlPlist("<dict><key>CFBundleIdentifier</key><string></string></dict>")}}) {
    writeFile(home_ + "/" + name + ".app/Contents/Info.plist", info);
  }
  std::filesystem::create_directories(home_ + "/Empty.app/Contents");
  launchservices::LinuxLaunchServices ls(home_);
  for (const std::string& path : {home_ + "/Missing.app", home_ + "/Empty.app", home_ + "/Array.app",
                                  home_ + "/Broken.app", std::string(), std::string("/bad\xff.app")}) {
    EXPECT_EQ(tis.registerInputSource(path), kParamErr) << path;
    EXPECT_EQ(ls.registerURL(path, true), launchservices::kLSApplicationNotFoundErr) << path;
  }
  // Bundles, but without a (string, non-empty) identifier, which an input source needs.
  for (const std::string& path : {home_ + "/NoId.app", home_ + "/IntId.app", home_ + "/EmptyId.app"})
    EXPECT_EQ(tis.registerInputSource(path), kParamErr) << path;
  EXPECT_FALSE(std::filesystem::exists(prefs(kRegistryDomain)));
  EXPECT_TRUE(ids().empty());

  // Registry entries that are no lists: neither used nor replaced.
  const std::string ours = ourBundle();
  const std::string foreign = xmlPlist(
      "<dict><key>TISRegisteredBundles</key><string>odd</string><key>LSRegisteredBundles</key><integer>3</"
      "integer></dict>");
  writeFile(prefs(kRegistryDomain), foreign);
  EXPECT_NE(tis.registerInputSource(ours), 0);
  EXPECT_NE(ls.registerURL(ours, true), 0);
  EXPECT_EQ(tis.createInputSourceList({}, true), std::nullopt);
  EXPECT_EQ(readFile(prefs(kRegistryDomain)), foreign);

  // A home whose Library is a file: nothing can be written below it.
  const test::TempDir blocked("sonarell-home");
  writeFile(blocked / "Library", "not a folder");
  EXPECT_EQ(LinuxTextInputServices(blocked.str()).registerInputSource(ours), kWritePermissionErr);
  EXPECT_EQ(readFile(blocked / "Library"), "not a folder");
}

TEST_F(LinuxTextInput, FiltersAndTheEnabledStateFollowTheListAtEachCall) {
  ASSERT_EQ(tis.registerInputSource(writeInputMethodBundle(home_ + "/Other.app", "com.example.Other", "Other",
                                                           {{"com.example.Other.M", {}}})),
            0);
  ASSERT_EQ(tis.registerInputSource(ourBundle()), 0);

  // Records that nearly match do not count; further keys in a record do not matter.
  Dictionary parentWithExtras = *test::parentRecord(kOurs).asDictionary();
  parentWithExtras.set("Added By Platform", Value(1));
  const Value nearMisses =
      Array{kLayout, Value("a string element"), test::modeRecord(kOurs, kOurs + ".Other"),
            Value(Dictionary{{"Bundle ID", Value(kOurs)}, {"Input Mode", Value(kOurMode)}}),
            Value(Dictionary{{"InputSourceKind", Value(1)}, {"Bundle ID", Value(kOurs)}})};
  const struct {
    Value list;
    bool parent, mode;
  } cases[] = {{nearMisses, false, false},
               {Value(Array{Value(parentWithExtras)}), true, false},
               {Value(Array{test::modeRecord(kOurs, kOurMode)}), false, true},
               {test::parentRecord(kOurs), false, false}};  // a list that is no array enables nothing
  const Dictionary ours{{std::string(kTISPropertyBundleID), Value(kOurs)}};
  InputSourceList snapshot = list(ours);
  bool previous = false;
  for (const auto& c : cases) {
    seed(c.list);
    EXPECT_EQ(enabled(snapshot.at(0)), std::exchange(previous, c.parent));  // a snapshot keeps its state
    snapshot = list(ours);
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(enabled(snapshot[0]), c.parent) << &c - cases;
    EXPECT_EQ(enabled(snapshot[1]), c.mode) << &c - cases;
  }

  seed(Value(Array{test::modeRecord("com.example.Other", "com.example.Other.M")}));
  const auto property = [](std::string_view name, Value v) {
    return Dictionary{{std::string(name), std::move(v)}};
  };
  const struct {
    Dictionary filter;
    bool includeAll;
    std::vector<std::string> ids;
  } filters[] = {{property(kTISPropertyBundleID, Value(kOurs)), true, {kOurs, kOurMode}},
                 {property(kTISPropertyInputSourceType, Value(std::string(kTISTypeKeyboardInputMode))),
                  true,
                  {"com.example.Other.M", kOurMode}},
                 {Dictionary{{std::string(kTISPropertyBundleID), Value(kOurs)},
                             {std::string(kTISPropertyInputSourceID), Value(kOurMode)}},
                  true,
                  {kOurMode}},
                 // A property a source lacks never equals the filter's value.
                 {property(kTISPropertyLocalizedName, Value("Other")), true, {"com.example.Other"}},
                 // Values compare with their type: the string "1" is not the boolean true.
                 {property(kTISPropertyInputSourceIsEnableCapable, Value("1")), true, {}},
                 {property(kTISPropertyInputSourceIsEnabled, Value(true)), true, {"com.example.Other.M"}},
                 {{}, false, {"com.example.Other.M"}},
                 {property(kTISPropertyBundleID, Value(kOurs)), false, {}}};
  for (const auto& f : filters) EXPECT_EQ(ids(f.filter, f.includeAll), f.ids) << &f - filters;
}

TEST_F(LinuxTextInput, EnablingAppendsTheRecordOnceDisablingTakesOutEveryOneAndBothKeepTheRest) {
  ASSERT_EQ(tis.registerInputSource(ourBundle()), 0);
  const InputSource parent = find(kOurs), mode = find(kOurMode);
  // Enabling what is enabled already, and disabling what is not, writes nothing: the same file, untouched.
  const auto unchanged = [&](bool enabling) {
    const auto before = stamp();
    for (const InputSource& source : {parent, mode})
      EXPECT_EQ(enabling ? tis.enableInputSource(source) : tis.disableInputSource(source), 0);
    EXPECT_EQ(stamp(), before);
  };
  unchanged(false);  // no preference file, and none made

  // Without a preference file, and with one that has other keys but no list, the list is made.
  EXPECT_EQ(tis.enableInputSource(mode), 0);
  EXPECT_EQ(key(kHIToolboxDomain, kEnabledInputSourcesKey), Value(Array{modeRecord()}));
  writeFile(prefs(kHIToolboxDomain), xmlOf(Dictionary{{"AppleFnUsageType", 2}}));
  EXPECT_EQ(tis.enableInputSource(parent), 0);
  EXPECT_EQ(plist::readFile(prefs(kHIToolboxDomain)),
            Value(Dictionary{{"AppleFnUsageType", 2}, {kEnabledInputSourcesKey, Array{parentRecord()}}}));

  Array expected{kLayout, test::parentRecord("com.example.Other"), Value("a string element"),
                 test::modeRecord("com.example.Other", "com.example.Other.M")};
  seed(Value(expected));
  EXPECT_EQ(tis.enableInputSource(parent), 0);
  EXPECT_EQ(tis.enableInputSource(mode), 0);
  expected.insert(expected.end(), {parentRecord(), modeRecord()});
  EXPECT_EQ(key(kHIToolboxDomain, kEnabledInputSourcesKey), Value(expected));

  unchanged(true);

  // Disabling takes out every record of the source, further keys or not; the rest keeps its place.
  Dictionary parentWithExtras = *parentRecord().asDictionary();
  parentWithExtras.set("Added By Platform", Value(1));
  const Value otherParent = test::parentRecord("com.example.Other"),
              otherMode = modeRecord(kOurs, kOurs + ".Latn");
  seed(Value(Array{parentRecord(), kLayout, Value(parentWithExtras), otherParent, Value("a string element"),
                   modeRecord(), otherMode}));
  EXPECT_EQ(tis.disableInputSource(parent), 0);
  EXPECT_EQ(key(kHIToolboxDomain, kEnabledInputSourcesKey),
            Value(Array{kLayout, otherParent, Value("a string element"), modeRecord(), otherMode}));
  EXPECT_EQ(tis.disableInputSource(mode), 0);
  EXPECT_EQ(key(kHIToolboxDomain, kEnabledInputSourcesKey),
            Value(Array{kLayout, otherParent, Value("a string element"), otherMode}));
  unchanged(false);
}

// What enabling refuses, disabling refuses alike, writing nothing; a list the store cannot write (its lock
// is a folder) fails either with the store's own reason.
TEST_F(LinuxTextInput, EnablingAndDisablingRefuseAlikeAndWriteNothing) {
  const std::string ours = ourBundle();
  ASSERT_EQ(tis.registerInputSource(ours), 0);
  const InputSource parent = find(kOurs), mode = find(kOurMode);
  InputSource unknownType = parent, strangerMode = mode;
  unknownType.properties.set(std::string(kTISPropertyInputSourceType), Value("TISTypeKeyboardLayout"));
  strangerMode.properties.set(std::string(kTISPropertyInputSourceID), Value(kOurs + ".Unknown"));
  const InputSource none{};
  const Value list(Array{kLayout, parentRecord(), modeRecord()});
  const struct {
    const char* name;
    std::optional<Value> list;  // none: a file that is no property list
    const InputSource& source;
    bool bundleGone = false;
  } rows[] = {
      {"a list that is no array", Value("x"), mode},
      {"corrupt file", std::nullopt, parent},
      {"unknown type", list, unknownType},
      {"a mode the bundle does not have", list, strangerMode},
      {"empty source", list, none},
      {"the bundle gone after the list was made", list, parent, true},
  };
  for (const bool enabling : {true, false}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(enabling ? "enabling: " : "disabling: ") + row.name);
      if (row.list) seed(*row.list);
      if (!row.list) writeFile(prefs(kHIToolboxDomain), "garbage, not a property list");
      if (row.bundleGone) std::filesystem::remove(ours + "/Contents/Info.plist");
      const auto before = stamp();
      EXPECT_EQ(enabling ? tis.enableInputSource(row.source) : tis.disableInputSource(row.source), kParamErr);
      EXPECT_EQ(stamp(), before);
      ourBundle();
    }
  }

  const std::string lock = home_ + "/Library/Preferences/.com.apple.HIToolbox.plist.lock";
  std::filesystem::create_directory(lock);
  preferences::FilePreferenceStore store(home_);
  store.setAppValue(kEnabledInputSourcesKey, Value(Array{}), kHIToolboxDomain);
  ASSERT_FALSE(store.synchronize(kHIToolboxDomain));
  seed(Value(Array{kLayout, parentRecord()}));
  for (const bool enabling : {true, false}) {
    const auto before = stamp();
    EXPECT_EQ(enabling ? tis.enableInputSource(mode) : tis.disableInputSource(parent), kWritePermissionErr);
    EXPECT_EQ(stamp(), before);
    EXPECT_EQ(tis.lastFailure(), store.lastFailure());
  }
  std::filesystem::remove(lock);
  EXPECT_EQ(tis.disableInputSource(parent), 0);
  EXPECT_EQ(tis.lastFailure(), "");
}

}  // namespace
}  // namespace sonarell::textinput
