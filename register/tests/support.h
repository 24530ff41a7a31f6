#pragma once

// Substitutes for the platform services, to drive every rule in-process, and enabled-list records and the
// tool's lines spelled out rather than taken from the code under test.

#include <gmock/gmock.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "platform/plist/value.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "register/dispatch.h"
#include "register/enabled_list.h"
#include "register/enabled_list_removal.h"
#include "register/identifiers.h"
#include "register/output.h"
#include "register/services.h"
#include "tests/support/bundle.h"

namespace sonarell::keyloom::test {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using namespace sonarell::test;
using ::testing::_;
using ::testing::InSequence;
using ::testing::Return;
using textinput::InputSourceList;

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

// One domain with one key, with the store's semantics: the view is loaded on first use, set changes only the
// view, synchronise stores what was set onto the disk and reloads the view. Another writer acts in
// synchronise number n (from 1) after the merge and before the reload; synchronise `failingSync` fails, with
// the reason "the disk is full". Given a real store, that one is used, and the other writer acts just before
// its synchronise n takes the lock.
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
inline Dictionary parentDict() { return *parentRecord().asDictionary(); }
inline Dictionary modeDict() { return *modeRecord().asDictionary(); }
inline Value with(Dictionary record, const std::string& key, Value value) {
  record.set(key, std::move(value));
  return Value(std::move(record));
}
// A record of another mode of ours, and a list holding both of our records among foreign ones.
inline const Value kOtherMode = with(modeDict(), "Input Mode", str("org.quennet.inputmethod.Sonarell.Latn"));
inline const Array kFull{layout(), parentRecord(), otherMethod(), modeRecord()};

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
// Our two sources; a parent not enabled lacks the property, a mode says false.
inline textinput::InputSourceList both(bool p, bool m) {
  return {source(true, p ? p : std::optional<bool>()), source(false, m)};
}
// The lines the tool prints for one of our sources.
inline std::string listing(bool parent, std::string_view name = "Sonarell") {
  return "source=" + std::string(parent ? BundleID : ModeID) + "\n  TISPropertyInputSourceType=" +
         (parent ? "TISTypeKeyboardInputMethodModeEnabled" : "TISTypeKeyboardInputMode") +
         "\n  TISPropertyInputSourceIsEnableCapable=1\n  TISPropertyBundleID=" + std::string(BundleID) +
         "\n  TISPropertyLocalizedName=" + std::string(name) + "\n";
}

MATCHER_P(SourceWithID, id, "") {
  const Value* value = arg.property(textinput::kTISPropertyInputSourceID);
  return value && *value == str(id);
}
inline const auto kParent = SourceWithID(BundleID), kMode = SourceWithID(ModeID);

// What the tool prints, spelled out.
inline const std::string kNotification(textinput::kTISNotifyEnabledKeyboardInputSourcesChanged);
inline const std::string kKey(kEnabledInputSourcesKey), kDomain(kHIToolboxDomain);
inline const std::string kUsage =
    "Usage: Keyloom /path/to/Sonarell.app [--check | --repair-enabled-list /new/backup.plist]\n";
inline const std::string kForeign = "Unexpected input method bundle ID\n";
inline const std::string kShape = "Unexpected enabled source list; no preferences changed\n";
inline const std::string kNoBackup = "Could not create a new enabled-source backup\n";
inline const std::string kConcurrent = "Enabled source list changed concurrently; retry installation\n";
inline const std::string kReadbackDiffers = "Enabled source list readback differs\n";
inline std::string notStored(const std::string& why) {
  return "Could not store the enabled input sources: " + why + "; retry installation\n";
}
inline std::string verified(std::size_t n, std::size_t k) {
  return "enabled-list-preserved=" + std::to_string(n) + " appended=" + std::to_string(k) + " verified=1\n";
}
inline std::string removed(std::size_t ours, std::size_t foreign) {
  return "enabled-list-removed=" + std::to_string(ours) + " foreign-preserved=" + std::to_string(foreign) +
         " verified=1\n";
}
// The lines with both states, as "parent-before=1 mode-before=0".
inline std::string states(const std::string& w, int parent, int mode) {
  return "parent-" + w + "=" + std::to_string(parent) + " mode-" + w + "=" + std::to_string(mode) + "\n";
}
inline std::string before(int parent, int mode) { return states("before", parent, mode); }
inline std::string after(int parent, int mode) { return states("after", parent, mode); }

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

// The two list forms in-process, exit status and streams.
inline Outcome repair(Substitutes& s, const std::string& backup) {
  return captured([&](Streams streams) { return RepairEnabledList(backup, s.services, streams) ? 0 : 1; });
}
inline Outcome removal(Substitutes& s, const std::string& backup) {
  return captured([&](Streams streams) { return RemoveFromEnabledList(backup, s.services, streams); });
}
// The whole command line, as main hands it on.
inline Outcome dispatch(Substitutes& s, const std::vector<std::string>& args,
                        const std::string& home = "/nonexistent") {
  std::vector<const char*> argv{"Keyloom"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return captured([&](Streams streams) {
    return Dispatch(static_cast<int>(argv.size()), argv.data(), s.services, streams, home);
  });
}

}  // namespace sonarell::keyloom::test
