#pragma once

// What the tool's tests share: substitutes for the platform services, so that
// every rule of a run can be driven in-process, the enabled-list records written
// out by hand, bundles, and the streams a run writes to.

#include <gmock/gmock.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist/value.h"
#include "register/identifiers.h"
#include "register/output.h"
#include "register/services.h"
#include "tests/support/scratch.h"

namespace sonarell::keyloom::test {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
using testsupport::xmlPlist;

class MockTextInput : public textinput::TextInputServices {
 public:
  MOCK_METHOD(std::int32_t, registerInputSource, (const std::string&), (override));
  MOCK_METHOD(std::optional<textinput::InputSourceList>, createInputSourceList, (const Dictionary&, bool),
              (override));
  MOCK_METHOD(std::int32_t, enableInputSource, (const textinput::InputSource&), (override));
};
class MockLaunchServices : public launchservices::LaunchServices {
 public:
  MOCK_METHOD(std::int32_t, registerURL, (const std::string&, bool), (override));
};
class MockNotifier : public notifications::DistributedNotifier {
 public:
  MOCK_METHOD(void, post, (const std::string&), (override));
};
class MockRunLoop : public runloop::RunLoop {
 public:
  MOCK_METHOD(void, runFor, (double), (override));
};
class MockApplication : public application::Application {
 public:
  MOCK_METHOD(void, setActivationPolicyProhibited, (), (override));
  MOCK_METHOD(void, finishLaunching, (), (override));
};

// One domain with one key, with the store's semantics: the view is loaded on
// first use, set changes only the view, synchronise stores what was set onto
// the "disk" and reloads the view from it. Another writer acts in synchronise
// number n (from 1), after the merge and before the reload.
class FakeStore : public preferences::PreferenceStore {
 public:
  std::optional<Value> disk;
  std::function<void(int n, std::optional<Value>& disk)> otherWriter;
  int failingSync = 0;                     // this synchronise fails, storing nothing
  std::vector<std::string> strayRequests;  // keys or domains other than the list's
  int syncs = 0, sets = 0;

  std::optional<Value> copyAppValue(const std::string& key, const std::string& domain) override {
    note(key, domain);
    return view();
  }
  void setAppValue(const std::string& key, std::optional<Value> value, const std::string& domain) override {
    note(key, domain);
    view() = std::move(value);
    ++sets;
    dirty_ = true;
  }
  bool synchronize(const std::string& domain) override {
    note(std::string(kEnabledInputSourcesKey), domain);
    const int n = ++syncs;
    if (n == failingSync) return false;
    if (dirty_) disk = view();
    dirty_ = false;
    if (otherWriter) otherWriter(n, disk);
    view_ = disk;
    return true;
  }

 private:
  std::optional<Value>& view() {
    if (!view_) view_ = disk;
    return *view_;
  }
  void note(const std::string& key, const std::string& domain) {
    if (key != kEnabledInputSourcesKey || domain != kHIToolboxDomain)
      strayRequests.push_back(domain + ":" + key);
  }
  std::optional<std::optional<Value>> view_;
  bool dirty_ = false;
};

// The six services; the mocks are nice so that a test names only the calls it is about.
struct Substitutes {
  FakeStore store;
  ::testing::NiceMock<MockTextInput> textInput;
  ::testing::NiceMock<MockLaunchServices> launchServices;
  ::testing::NiceMock<MockNotifier> notifier;
  ::testing::NiceMock<MockRunLoop> runLoop;
  ::testing::NiceMock<MockApplication> application;
  Services services{store, textInput, launchServices, notifier, runLoop, application};
};

// Enabled-list records as the platform writes them, spelled out here rather
// than taken from the code under test.
inline Value str(std::string_view text) { return Value(std::string(text)); }
inline Value layout() {
  return Value(Dictionary{{"InputSourceKind", str("Keyboard Layout")},
                          {"KeyboardLayout ID", Value(252)},
                          {"KeyboardLayout Name", str("ABC")}});
}
inline Value otherMethod() {
  return Value(Dictionary{{"InputSourceKind", str("Keyboard Input Method")},
                          {"Bundle ID", str("com.example.inputmethod.Other")}});
}
inline Dictionary parentDict() {
  return {{"InputSourceKind", str("Keyboard Input Method")}, {"Bundle ID", str(BundleID)}};
}
inline Dictionary modeDict() {
  return {{"InputSourceKind", str("Input Mode")}, {"Bundle ID", str(BundleID)}, {"Input Mode", str(ModeID)}};
}
inline Value parentRecord() { return Value(parentDict()); }
inline Value modeRecord() { return Value(modeDict()); }

// A source as the text-input services list it, with these properties.
inline textinput::InputSource sourceWith(std::vector<std::pair<std::string_view, Value>> properties) {
  textinput::InputSource s;
  for (auto& [key, value] : properties) s.properties.set(std::string(key), std::move(value));
  return s;
}
inline textinput::InputSource source(std::string_view id, std::string_view type,
                                     std::optional<bool> enabled) {
  using namespace textinput;
  textinput::InputSource s = sourceWith({{kTISPropertyInputSourceID, str(id)},
                                         {kTISPropertyInputSourceType, str(type)},
                                         {kTISPropertyInputSourceIsEnableCapable, Value(true)},
                                         {kTISPropertyBundleID, str(BundleID)},
                                         {kTISPropertyLocalizedName, str("Sonarell")}});
  if (enabled) s.properties.set(std::string(kTISPropertyInputSourceIsEnabled), Value(*enabled));
  return s;
}
inline textinput::InputSource parentSource(std::optional<bool> enabled) {
  return source(BundleID, textinput::kTISTypeKeyboardInputMethodModeEnabled, enabled);
}
inline textinput::InputSource modeSource(std::optional<bool> enabled) {
  return source(ModeID, textinput::kTISTypeKeyboardInputMode, enabled);
}
// The lines the tool prints for one of our sources.
inline std::string listing(std::string_view id, std::string_view type, std::string_view name) {
  return "source=" + std::string(id) + "\n  TISPropertyInputSourceType=" + std::string(type) +
         "\n  TISPropertyInputSourceIsEnableCapable=1\n  TISPropertyBundleID=" + std::string(BundleID) +
         "\n  TISPropertyLocalizedName=" + std::string(name) + "\n";
}

// <path>/Contents/Info.plist of an input method bundle: the identifier, the
// parent named by CFBundleName, and the one mode of ComponentInputModeDict.
inline void makeBundle(const std::string& path, const std::string& identifier) {
  writeFile(
      path + "/Contents/Info.plist",
      xmlPlist(
          "<dict><key>CFBundleIdentifier</key><string>" + identifier +
          "</string><key>CFBundleName</key><string>Sonarell</string><key>ComponentInputModeDict</key>"
          "<dict><key>tsInputModeListKey</key><dict><key>" +
          std::string(ModeID) +
          "</key><dict><key>tsInputModeMenuTitle</key><string>IPA</string></dict></dict></dict></dict>"));
}

struct Outcome {
  int status;
  std::string out, err;
  bool operator==(const Outcome&) const = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << o.status << ::testing::PrintToString(o.out) << ::testing::PrintToString(o.err);
  }
};

// Runs `run` with output and error streams of its own and reads them back.
template <typename Run>
Outcome captured(Run run) {
  using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
  File out(std::tmpfile(), &std::fclose), err(std::tmpfile(), &std::fclose);
  const int status = static_cast<int>(run(Streams{out.get(), err.get()}));
  auto text = [](std::FILE* file) {
    std::rewind(file);
    std::string all;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) all.append(buffer, n);
    return all;
  };
  return {status, text(out.get()), text(err.get())};
}

}  // namespace sonarell::keyloom::test
