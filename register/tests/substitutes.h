#pragma once

// Substitutes for the platform services, so that every rule of a run can be
// driven in-process.

#include <gmock/gmock.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist/value.h"
#include "register/identifiers.h"
#include "register/services.h"

namespace sonarell::keyloom::testing {

class MockTextInput : public textinput::TextInputServices {
 public:
  MOCK_METHOD(std::int32_t, registerInputSource, (const std::string&), (override));
  MOCK_METHOD(std::optional<textinput::InputSourceList>, createInputSourceList,
              (const plist::Dictionary&, bool), (override));
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
// the "disk" and reloads the view from it. Other writers are simulated through
// the hooks, and any synchronise can be made to fail.
class FakeStore : public preferences::PreferenceStore {
 public:
  std::optional<plist::Value> disk;
  // Called in synchronise number n (from 1) after the merge and before the view
  // is reloaded: what another writer does at that moment.
  std::function<void(int n, std::optional<plist::Value>& disk)> otherWriter;
  // Synchronise number n fails, storing nothing.
  std::vector<int> failingSyncs;
  // Keys or domains asked for other than the enabled-source list.
  std::vector<std::string> strayRequests;
  int syncs = 0;
  int sets = 0;

  std::optional<plist::Value> copyAppValue(const std::string& key, const std::string& domain) override {
    note(key, domain);
    load();
    return view_;
  }
  void setAppValue(const std::string& key, std::optional<plist::Value> value,
                   const std::string& domain) override {
    note(key, domain);
    load();
    ++sets;
    view_ = std::move(value);
    dirty_ = true;
  }
  bool synchronize(const std::string& domain) override {
    note(std::string(kEnabledInputSourcesKey), domain);
    const int n = ++syncs;
    for (int failing : failingSyncs) {
      if (failing == n) return false;
    }
    if (dirty_) disk = view_;
    dirty_ = false;
    if (otherWriter) otherWriter(n, disk);
    view_ = disk;
    loaded_ = true;
    return true;
  }

 private:
  void load() {
    if (!loaded_) view_ = disk;
    loaded_ = true;
  }
  void note(const std::string& key, const std::string& domain) {
    if (key != kEnabledInputSourcesKey || domain != kHIToolboxDomain)
      strayRequests.push_back(domain + ":" + key);
  }
  std::optional<plist::Value> view_;
  bool loaded_ = false;
  bool dirty_ = false;
};

// The six services; the mocks are nice so that a test names only the calls it
// is about. Store, notifier and run loop are the ones a repair talks to.
struct Substitutes {
  FakeStore store;
  ::testing::NiceMock<MockTextInput> textInput;
  ::testing::NiceMock<MockLaunchServices> launchServices;
  ::testing::NiceMock<MockNotifier> notifier;
  ::testing::NiceMock<MockRunLoop> runLoop;
  ::testing::NiceMock<MockApplication> application;
  Services services{store, textInput, launchServices, notifier, runLoop, application};
};

inline plist::Value str(std::string_view text) { return plist::Value(std::string(text)); }

inline plist::Dictionary keyboardLayout(std::int64_t id, const std::string& name) {
  return plist::Dictionary{{"InputSourceKind", str("Keyboard Layout")},
                           {"KeyboardLayout ID", plist::Value(id)},
                           {"KeyboardLayout Name", str(name)}};
}

inline plist::Dictionary otherInputMethod() {
  return plist::Dictionary{{"InputSourceKind", str("Keyboard Input Method")},
                           {"Bundle ID", str("com.example.inputmethod.Other")}};
}

inline textinput::InputSource source(const std::string& id, std::optional<bool> enabled,
                                     std::string_view type = textinput::kTISTypeKeyboardInputMode) {
  textinput::InputSource s;
  s.properties.set(std::string(textinput::kTISPropertyInputSourceID), str(id));
  s.properties.set(std::string(textinput::kTISPropertyInputSourceType), str(type));
  s.properties.set(std::string(textinput::kTISPropertyInputSourceIsEnableCapable), plist::Value(true));
  s.properties.set(std::string(textinput::kTISPropertyBundleID), str(BundleID));
  s.properties.set(std::string(textinput::kTISPropertyLocalizedName), str("Sonarell"));
  if (enabled)
    s.properties.set(std::string(textinput::kTISPropertyInputSourceIsEnabled), plist::Value(*enabled));
  return s;
}

inline textinput::InputSource parentSource(std::optional<bool> enabled) {
  return source(std::string(BundleID), enabled, textinput::kTISTypeKeyboardInputMethodModeEnabled);
}

inline textinput::InputSource modeSource(std::optional<bool> enabled) {
  return source(std::string(ModeID), enabled);
}

}  // namespace sonarell::keyloom::testing
