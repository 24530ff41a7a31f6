#pragma once

// Substitutes for the platform services, to drive every rule in-process, and
// enabled-list records spelled out rather than taken from the code under test.

#include <gmock/gmock.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "platform/plist/value.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "register/identifiers.h"
#include "register/output.h"
#include "register/services.h"
#include "tests/support/bundle.h"

namespace sonarell::keyloom::test {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using sonarell::test::readFile;
using sonarell::test::TempDir;
using sonarell::test::writeFile;

struct MockTextInput : textinput::TextInputServices {
  MOCK_METHOD(std::int32_t, registerInputSource, (const std::string&), (override));
  MOCK_METHOD(std::optional<textinput::InputSourceList>, createInputSourceList, (const Dictionary&, bool),
              (override));
  MOCK_METHOD(std::int32_t, enableInputSource, (const textinput::InputSource&), (override));
  MOCK_METHOD(std::int32_t, disableInputSource, (const textinput::InputSource&), (override));
  MOCK_METHOD(std::string, lastFailure, (), (const, override));
};
struct MockLaunchServices : launchservices::LaunchServices {
  MOCK_METHOD(std::int32_t, registerURL, (const std::string&, bool), (override));
};
struct MockNotifier : notifications::DistributedNotifier {
  MOCK_METHOD(void, post, (const std::string&), (override));
};
struct MockRunLoop : runloop::RunLoop {
  MOCK_METHOD(void, runFor, (double), (override));
};
struct MockApplication : application::Application {
  MOCK_METHOD(void, setActivationPolicyProhibited, (), (override));
  MOCK_METHOD(void, finishLaunching, (), (override));
};

// One domain with one key, with the store's semantics: the view is loaded on
// first use, set changes only the view, synchronise stores what was set onto
// the disk and reloads the view. Another writer acts in synchronise number n
// (from 1) after the merge and before the reload; synchronise `failingSync`
// fails, with the reason "the disk is full". Given a real store, that one is used, and the other writer acts
// just before its synchronise n takes the lock.
struct FakeStore : preferences::PreferenceStore {
  std::optional<Value> disk;
  std::optional<preferences::FilePreferenceStore> real;
  std::function<void(int n, std::optional<Value>& disk)> otherWriter = [](int, auto&) {};
  int failingSync = 0, syncs = 0, sets = 0;

  std::optional<Value> copyAppValue(const std::string& key, const std::string& domain) override {
    return real ? real->copyAppValue(key, domain) : view();
  }
  void setAppValue(const std::string& key, std::optional<Value> value, const std::string& domain) override {
    ++sets;
    if (real) return real->setAppValue(key, std::move(value), domain);
    view() = std::move(value);
    dirty = true;
  }
  bool synchronize(const std::string& domain) override {
    EXPECT_EQ(domain, kHIToolboxDomain) << "only the list's domain";
    failure.clear();
    if (++syncs == failingSync) {
      failure = "the disk is full";
      return false;
    }
    if (real) otherWriter(syncs, disk);
    if (real) return real->synchronize(domain);
    if (std::exchange(dirty, false)) disk = view();
    otherWriter(syncs, disk);
    view_ = disk;
    return true;
  }
  std::string lastFailure() const override { return real ? real->lastFailure() : failure; }
  std::optional<Value>& view() { return view_ ? *view_ : view_.emplace(disk); }
  std::optional<std::optional<Value>> view_;
  bool dirty = false;
  std::string failure;
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

inline Value str(std::string_view text) { return Value(std::string(text)); }
inline Value layout() { return Value(Dictionary{{"KeyboardLayout ID", Value(252)}}); }
inline Value otherMethod() { return Value(Dictionary{{"Bundle ID", str("com.example.Other")}}); }
using sonarell::test::modeRecord;
using sonarell::test::parentRecord;
inline Dictionary parentDict() { return *parentRecord().asDictionary(); }
inline Dictionary modeDict() { return *modeRecord().asDictionary(); }

// A source as the text-input services list it; no enabled property when unset.
inline textinput::InputSource source(bool parent, std::optional<bool> enabled) {
  using namespace textinput;
  InputSource s;
  s.properties = {{std::string(kTISPropertyInputSourceID), str(parent ? BundleID : ModeID)},
                  {std::string(kTISPropertyInputSourceType),
                   str(parent ? kTISTypeKeyboardInputMethodModeEnabled : kTISTypeKeyboardInputMode)},
                  {std::string(kTISPropertyInputSourceIsEnableCapable), Value(true)},
                  {std::string(kTISPropertyBundleID), str(BundleID)},
                  {std::string(kTISPropertyLocalizedName), str("Sonarell")}};
  if (enabled) s.properties.set(std::string(kTISPropertyInputSourceIsEnabled), Value(*enabled));
  return s;
}
// The lines the tool prints for one of our sources.
inline std::string listing(bool parent, std::string_view name = "Sonarell") {
  return "source=" + std::string(parent ? BundleID : ModeID) + "\n  TISPropertyInputSourceType=" +
         (parent ? "TISTypeKeyboardInputMethodModeEnabled" : "TISTypeKeyboardInputMode") +
         "\n  TISPropertyInputSourceIsEnableCapable=1\n  TISPropertyBundleID=" + std::string(BundleID) +
         "\n  TISPropertyLocalizedName=" + std::string(name) + "\n";
}

// An input method bundle: the identifier, the parent named by CFBundleName, one mode.
inline void makeBundle(const std::string& path, std::string_view identifier) {
  sonarell::test::writeInputMethodBundle(path, std::string(identifier), "Sonarell",
                                         {{sonarell::test::kInputModeId, "IPA"}});
}

using sonarell::test::snapshot;

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
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), &std::fclose),
      err(std::tmpfile(), &std::fclose);
  const int status = run(Streams{out.get(), err.get()});
  auto text = [](std::FILE* file) {
    std::string all(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    all.resize(std::fread(all.data(), 1, all.size(), file));
    return all;
  };
  return {status, text(out.get()), text(err.get())};
}

}  // namespace sonarell::keyloom::test
