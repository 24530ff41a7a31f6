#include "register/registration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "register/enabled_list.h"
#include "register/tests/substitutes.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using plist::Array;
using plist::Value;
using ::testing::_;
using testing::CapturedStreams;
using ::testing::InSequence;
using testing::modeSource;
using testing::parentSource;
using ::testing::Return;
using testing::Substitutes;
using textinput::InputSource;
using textinput::InputSourceList;

const std::string kBundle = "/home/u/Library/Input Methods/Sonarell.app";

std::string listing(const std::string& id, const std::string& type, const std::string& enableCapable,
                    const std::string& bundle, const std::string& name) {
  return "source=" + id + "\n  TISPropertyInputSourceType=" + type +
         "\n  TISPropertyInputSourceIsEnableCapable=" + enableCapable + "\n  TISPropertyBundleID=" + bundle +
         "\n  TISPropertyLocalizedName=" + name + "\n";
}

const std::string kParentListing = listing(std::string(BundleID), "TISTypeKeyboardInputMethodModeEnabled",
                                           "1", std::string(BundleID), "Sonarell");
const std::string kModeListing =
    listing(std::string(ModeID), "TISTypeKeyboardInputMode", "1", std::string(BundleID), "Sonarell");

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(Substitutes& s, bool check = false, bool repair = false, const std::string& backup = "") {
  CapturedStreams streams;
  RegistrationRequest request{kBundle, check, repair, backup};
  const int status = RunRegistration(request, s.services, Streams{streams.out(), streams.err()});
  return {status, streams.outText(), streams.errText()};
}

InputSourceList both(bool parentEnabled, bool modeEnabled) {
  return {parentSource(parentEnabled), modeSource(modeEnabled)};
}

MATCHER_P(SourceWithID, id, "") {
  const Value* value = arg.property(textinput::kTISPropertyInputSourceID);
  return value && value->asString() && *value->asString() == id;
}

MATCHER(OurFilter, "") {
  return arg == plist::Dictionary{{std::string(textinput::kTISPropertyBundleID), testing::str(BundleID)}};
}

TEST(Registration, RegisterRunCallsEverythingInOrderWithThreeOneSecondWaits) {
  Substitutes s;
  {
    InSequence order;
    EXPECT_CALL(s.launchServices, registerURL(kBundle, true)).WillOnce(Return(0));
    EXPECT_CALL(s.textInput, registerInputSource(kBundle)).WillOnce(Return(0));
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(false, false)));
    EXPECT_CALL(s.textInput, enableInputSource(SourceWithID(std::string(BundleID)))).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(true, false)));
    EXPECT_CALL(s.textInput, enableInputSource(SourceWithID(std::string(ModeID)))).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(true, true)));
  }
  const Outcome outcome = run(s);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "launchservices-register=0\nregister=0\n" + kParentListing + kModeListing +
                             "parent-before=0 mode-before=0\nenable-parent=0\nenable-mode=0\n"
                             "parent-after=1 mode-after=1\nregistration-complete=1\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(s.store.syncs + s.store.sets, 0) << "the register form leaves the list alone";
}

TEST(Registration, EachFailingCallEndsTheRunWithItsRecord) {
  {
    Substitutes s;
    EXPECT_CALL(s.launchServices, registerURL(_, true)).WillOnce(Return(-10810));
    EXPECT_CALL(s.textInput, registerInputSource(_)).Times(0);
    EXPECT_CALL(s.textInput, createInputSourceList(_, _)).Times(0);
    const Outcome outcome = run(s);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "launchservices-register=-10810\n");
    EXPECT_EQ(outcome.err, "");
  }
  {
    Substitutes s;
    EXPECT_CALL(s.textInput, registerInputSource(_)).WillOnce(Return(-50));
    EXPECT_CALL(s.textInput, createInputSourceList(_, _)).Times(0);
    const Outcome outcome = run(s);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "launchservices-register=0\nregister=-50\n");
    EXPECT_EQ(outcome.err, "");
  }
  {
    Substitutes s;
    ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(false, false)));
    EXPECT_CALL(s.textInput, enableInputSource(_)).WillOnce(Return(-61));
    EXPECT_CALL(s.runLoop, runFor(_)).Times(0);
    const Outcome outcome = run(s);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "launchservices-register=0\nregister=0\n" + kParentListing + kModeListing +
                               "parent-before=0 mode-before=0\nenable-parent=-61\n");
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(Registration, MissingSourcesAreReported) {
  for (const std::optional<InputSourceList>& none :
       {std::optional<InputSourceList>(),
        std::optional<InputSourceList>(InputSourceList{modeSource(true)})}) {
    Substitutes s;
    ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault(Return(none));
    EXPECT_CALL(s.textInput, enableInputSource(_)).Times(0);
    const Outcome outcome = run(s);
    EXPECT_EQ(outcome.status, 1);
    const std::string listed = none ? kModeListing : "";
    const std::string modeBefore = none ? "1" : "0";
    EXPECT_EQ(outcome.out, "launchservices-register=0\nregister=0\n" + listed +
                               "parent-before=0 mode-before=" + modeBefore + "\n");
    EXPECT_EQ(outcome.err, "Parent input method was not registered\n");
  }
  {
    Substitutes s;
    EXPECT_CALL(s.textInput, createInputSourceList(_, _))
        .WillOnce(Return(both(false, false)))
        .WillOnce(Return(InputSourceList{parentSource(true)}));
    EXPECT_CALL(s.textInput, enableInputSource(_)).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0)).Times(1);
    const Outcome outcome = run(s);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "launchservices-register=0\nregister=0\n" + kParentListing + kModeListing +
                               "parent-before=0 mode-before=0\nenable-parent=0\n");
    EXPECT_EQ(outcome.err, "Input mode was not registered\n");
  }
}

TEST(Registration, TheModeStatusAndTheEndStateDecideTogether) {
  struct Case {
    std::int32_t modeStatus;
    bool parentAfter, modeAfter;
    int status;
    std::string tail;
  };
  for (const Case& c : {
           Case{-50, true, true, 1, "enable-mode=-50\nparent-after=1 mode-after=1\n"},
           Case{0, true, false, 1, "enable-mode=0\nparent-after=1 mode-after=0\nregistration-complete=1\n"},
           Case{0, false, true, 1, "enable-mode=0\nparent-after=0 mode-after=1\nregistration-complete=1\n"},
           Case{0, true, true, 0, "enable-mode=0\nparent-after=1 mode-after=1\nregistration-complete=1\n"},
       }) {
    Substitutes s;
    EXPECT_CALL(s.textInput, createInputSourceList(_, _))
        .WillOnce(Return(both(true, true)))
        .WillOnce(Return(both(true, true)))
        .WillOnce(Return(both(c.parentAfter, c.modeAfter)));
    EXPECT_CALL(s.textInput, enableInputSource(SourceWithID(std::string(BundleID)))).WillOnce(Return(0));
    EXPECT_CALL(s.textInput, enableInputSource(SourceWithID(std::string(ModeID))))
        .WillOnce(Return(c.modeStatus));
    EXPECT_CALL(s.runLoop, runFor(1.0)).Times(3);
    const Outcome outcome = run(s);
    EXPECT_EQ(outcome.status, c.status) << c.tail;
    EXPECT_EQ(outcome.out, "launchservices-register=0\nregister=0\n" + kParentListing + kModeListing +
                               "parent-before=1 mode-before=1\nenable-parent=0\n" + c.tail);
  }
}

TEST(Registration, CheckFormListsAndJudgesWithoutChangingAnything) {
  struct Case {
    std::optional<InputSourceList> list;
    std::string out;
    int status;
  };
  const std::string noneEnabled = "parent-before=0 mode-before=0\nready=0\n";
  for (const Case& c : {
           Case{std::nullopt, noneEnabled, 1},
           Case{InputSourceList{}, noneEnabled, 1},
           Case{both(true, false), kParentListing + kModeListing + "parent-before=1 mode-before=0\nready=0\n",
                1},
           Case{both(false, true), kParentListing + kModeListing + "parent-before=0 mode-before=1\nready=0\n",
                1},
           Case{both(true, true), kParentListing + kModeListing + "parent-before=1 mode-before=1\nready=1\n",
                0},
       }) {
    Substitutes s;
    EXPECT_CALL(s.launchServices, registerURL(_, _)).Times(0);
    EXPECT_CALL(s.textInput, registerInputSource(_)).Times(0);
    EXPECT_CALL(s.textInput, enableInputSource(_)).Times(0);
    EXPECT_CALL(s.runLoop, runFor(_)).Times(0);
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(c.list));
    const Outcome outcome = run(s, /*check=*/true);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(Registration, ListingPrintsEverySourceAndFindTakesTheFirstMatch) {
  InputSource bare;
  bare.properties.set(std::string(textinput::kTISPropertyInputSourceID), testing::str(ModeID));
  bare.properties.set(std::string(textinput::kTISPropertyInputSourceIsEnableCapable), Value(false));
  bare.properties.set(std::string(textinput::kTISPropertyLocalizedName), Value(42));
  bare.properties.set(std::string(textinput::kTISPropertyInputSourceIsEnabled), Value(true));
  const std::optional<InputSourceList> list =
      InputSourceList{bare, modeSource(false), parentSource(std::nullopt)};

  EXPECT_EQ(Find(list, ModeID), &(*list)[0]);
  EXPECT_EQ(Find(list, BundleID), &(*list)[2]);
  EXPECT_EQ(Find(list, "org.quennet.inputmethod"), nullptr);
  EXPECT_EQ(Find(std::nullopt, BundleID), nullptr);
  EXPECT_FALSE(Enabled(nullptr));
  EXPECT_FALSE(Enabled(&(*list)[2])) << "no enabled property means not enabled";
  InputSource numeric = modeSource(std::nullopt);
  numeric.properties.set(std::string(textinput::kTISPropertyInputSourceIsEnabled), Value(1));
  EXPECT_FALSE(Enabled(&numeric)) << "only a boolean counts";

  Substitutes s;
  EXPECT_CALL(s.textInput, createInputSourceList(_, _)).WillOnce(Return(list));
  const Outcome outcome = run(s, /*check=*/true);
  EXPECT_EQ(
      outcome.out,
      "source=" + std::string(ModeID) +
          "\n  TISPropertyInputSourceType=(null)\n  TISPropertyInputSourceIsEnableCapable=0\n"
          "  TISPropertyBundleID=(null)\n  TISPropertyLocalizedName=42\n" +
          listing(std::string(ModeID), "TISTypeKeyboardInputMode", "1", std::string(BundleID), "Sonarell") +
          listing(std::string(BundleID), "TISTypeKeyboardInputMethodModeEnabled", "1", std::string(BundleID),
                  "Sonarell") +
          "parent-before=0 mode-before=1\nready=0\n");
  EXPECT_EQ(outcome.status, 1);
}

TEST(Registration, RepairFormRepairsBetweenTheSecondAndThirdWait) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  Substitutes s;
  s.store.disk =
      Value(Array{Value(testing::keyboardLayout(252, "ABC")), Value(ParentRecord()), Value(ModeRecord())});
  ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(true, true)));
  {
    InSequence order;
    EXPECT_CALL(s.textInput, enableInputSource(SourceWithID(std::string(BundleID)))).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.textInput, enableInputSource(SourceWithID(std::string(ModeID)))).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.notifier, post(_));
    EXPECT_CALL(s.runLoop, runFor(0.5));
    EXPECT_CALL(s.notifier, post(_));
    EXPECT_CALL(s.runLoop, runFor(1.0));
  }
  const Outcome outcome = run(s, false, /*repair=*/true, dir / "backup.plist");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "launchservices-register=0\nregister=0\n" + kParentListing + kModeListing +
                             "parent-before=1 mode-before=1\nenable-parent=0\nenable-mode=0\n"
                             "refresh-own-enabled-entries=1 foreign-preserved=1\n"
                             "enabled-list-preserved=3 appended=0 verified=1\n"
                             "parent-after=1 mode-after=1\nregistration-complete=1\n");

  // A failed repair ends the run at once: no third wait, no after record.
  Substitutes failing;
  ON_CALL(failing.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(true, true)));
  EXPECT_CALL(failing.runLoop, runFor(1.0)).Times(2);
  const Outcome refused = run(failing, false, true, dir / "second.plist");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "launchservices-register=0\nregister=0\n" + kParentListing + kModeListing +
                             "parent-before=1 mode-before=1\nenable-parent=0\nenable-mode=0\n");
  EXPECT_EQ(refused.err, "Unexpected enabled source list; no preferences changed\n");
}

TEST(Output, ValuesPrintInTheirTextualForm) {
  EXPECT_EQ(describeValue(nullptr), "(null)");
  const Value text("IPA – Sonarell"), yes(true), no(false), number(-252);
  EXPECT_EQ(describeValue(&text), "IPA – Sonarell");
  EXPECT_EQ(describeValue(&yes), "1");
  EXPECT_EQ(describeValue(&no), "0");
  EXPECT_EQ(describeValue(&number), "-252");
  const Value list(Array{Value("a"), Value(1)});
  EXPECT_EQ(describeValue(&list), "(a, 1)");
}

}  // namespace
}  // namespace sonarell::keyloom
