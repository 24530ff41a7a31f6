#include "register/registration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "register/dispatch.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Return;
using namespace test;
using textinput::InputSourceList;

const std::string kBundle = "/home/u/Library/Input Methods/Sonarell.app";
const std::string kParentListing = listing(BundleID, "TISTypeKeyboardInputMethodModeEnabled", "Sonarell");
const std::string kModeListing = listing(ModeID, "TISTypeKeyboardInputMode", "Sonarell");
const std::string kRegistered = "launchservices-register=0\nregister=0\n";
const std::string kListed = kRegistered + kParentListing + kModeListing;

Outcome run(Substitutes& s, bool check = false, const std::string& backup = "") {
  return captured([&](Streams streams) {
    return RunRegistration({kBundle, check, !backup.empty(), backup}, s.services, streams);
  });
}

InputSourceList both(bool parentEnabled, bool modeEnabled) {
  return {parentSource(parentEnabled), modeSource(modeEnabled)};
}
// What the listings return, in turn.
template <typename... Lists>
std::vector<std::optional<InputSourceList>> lists(Lists... each) {
  return {std::optional<InputSourceList>(each)...};
}

MATCHER_P(SourceWithID, id, "") {
  const Value* value = arg.property(textinput::kTISPropertyInputSourceID);
  return value && value->asString() && *value->asString() == id;
}
MATCHER(OurFilter, "") {
  return arg == Dictionary{{std::string(textinput::kTISPropertyBundleID), str(BundleID)}};
}
const auto kParent = SourceWithID(std::string(BundleID));
const auto kMode = SourceWithID(std::string(ModeID));

TEST(Registration, RegisterRunCallsEverythingInOrderWithThreeOneSecondWaits) {
  Substitutes s;
  {
    InSequence order;
    EXPECT_CALL(s.launchServices, registerURL(kBundle, true)).WillOnce(Return(0));
    EXPECT_CALL(s.textInput, registerInputSource(kBundle)).WillOnce(Return(0));
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(false, false)));
    EXPECT_CALL(s.textInput, enableInputSource(kParent)).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(true, false)));
    EXPECT_CALL(s.textInput, enableInputSource(kMode)).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0)).Times(2);
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(true, true)));
  }
  const Outcome outcome = run(s);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, kListed + "parent-before=0 mode-before=0\nenable-parent=0\nenable-mode=0\n" +
                             "parent-after=1 mode-after=1\nregistration-complete=1\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(s.store.syncs + s.store.sets, 0) << "the register form leaves the list alone";
}

// The status on the expected line "key=...", 0 when there is no such line.
int recorded(const std::string& lines, const std::string& key) {
  const std::string text = "\n" + lines;
  const std::size_t at = text.find("\n" + key + "=");
  return at == std::string::npos ? 0 : std::stoi(text.substr(at + key.size() + 2));
}

// Every way a register run fails. Each call returns the status its line in the
// expected output shows; the first that fails ends the run with its record.
TEST(Registration, FailureRows) {
  const std::string before = kListed + "parent-before=0 mode-before=0\n";
  const std::string enabled = kListed + "parent-before=1 mode-before=1\nenable-parent=0\n";
  const std::string complete = "registration-complete=1\n";
  const auto full = lists(both(true, true), both(true, true), both(true, true));
  const struct {
    std::vector<std::optional<InputSourceList>> lists;
    int waits;
    std::string out, err;
  } rows[] = {
      {lists(), 0, "launchservices-register=-10810\n", ""},
      {lists(), 0, "launchservices-register=0\nregister=-50\n", ""},
      {lists(both(false, false)), 0, before + "enable-parent=-61\n", ""},
      {lists(std::nullopt), 0, kRegistered + "parent-before=0 mode-before=0\n",
       "Parent input method was not registered\n"},
      {lists(InputSourceList(1, modeSource(true))), 0,
       kRegistered + kModeListing + "parent-before=0 mode-before=1\n",
       "Parent input method was not registered\n"},
      {lists(both(false, false), InputSourceList(1, parentSource(true))), 1, before + "enable-parent=0\n",
       "Input mode was not registered\n"},
      // The mode's status and the end state decide together.
      {full, 3, enabled + "enable-mode=-50\nparent-after=1 mode-after=1\n", ""},
      {lists(both(true, true), both(true, true), both(true, false)), 3,
       enabled + "enable-mode=0\nparent-after=1 mode-after=0\n" + complete, ""},
      {lists(both(true, true), both(true, true), both(false, true)), 3,
       enabled + "enable-mode=0\nparent-after=0 mode-after=1\n" + complete, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.out + row.err);
    Substitutes s;
    const int ls = recorded(row.out, "launchservices-register");
    EXPECT_CALL(s.launchServices, registerURL(kBundle, true)).WillOnce(Return(ls));
    EXPECT_CALL(s.textInput, registerInputSource(kBundle)).Times(ls == 0);
    ON_CALL(s.textInput, registerInputSource(_)).WillByDefault(Return(recorded(row.out, "register")));
    std::size_t listed = 0;
    ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault([&](auto&&...) {
      return row.lists[listed++];
    });
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true))
        .Times(static_cast<int>(row.lists.size()));
    for (const auto& [matcher, key] :
         {std::pair(kParent, "enable-parent"), std::pair(kMode, "enable-mode")}) {
      ON_CALL(s.textInput, enableInputSource(matcher)).WillByDefault(Return(recorded(row.out, key)));
      EXPECT_CALL(s.textInput, enableInputSource(matcher)).Times(row.out.find(key) != std::string::npos);
    }
    EXPECT_CALL(s.runLoop, runFor(1.0)).Times(row.waits);
    const Outcome outcome = run(s);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.err, row.err);
  }
}

TEST(Registration, CheckFormListsAndJudgesWithoutChangingAnything) {
  // The first source with an identifier counts; only a boolean true is enabled.
  using namespace textinput;
  const InputSource odd =
      sourceWith({{kTISPropertyInputSourceID, str(ModeID)},
                  {kTISPropertyInputSourceType, Value(-252)},
                  {kTISPropertyInputSourceIsEnableCapable, Value(false)},
                  {kTISPropertyLocalizedName, Value(Array{str("IPA – Sonarell"), Value(1)})},
                  {kTISPropertyInputSourceIsEnabled, Value(true)}});
  InputSource numeric = parentSource(std::nullopt);
  numeric.properties.set(std::string(kTISPropertyInputSourceIsEnabled), Value(1));
  const std::string oddListing =
      "source=" + std::string(ModeID) +
      "\n  TISPropertyInputSourceType=-252\n  TISPropertyInputSourceIsEnableCapable=0\n"
      "  TISPropertyBundleID=(null)\n  TISPropertyLocalizedName=(IPA – Sonarell, 1)\n";
  const std::string ours = kParentListing + kModeListing, none = "parent-before=0 mode-before=0\nready=0\n";
  const struct {
    std::optional<InputSourceList> list;
    std::string out;
  } rows[] = {
      {std::nullopt, none},
      {InputSourceList{}, none},
      {both(true, false), ours + "parent-before=1 mode-before=0\nready=0\n"},
      {InputSourceList{parentSource(std::nullopt), modeSource(true)},
       ours + "parent-before=0 mode-before=1\nready=0\n"},
      {InputSourceList{odd, modeSource(false), numeric},
       oddListing + kModeListing + kParentListing + "parent-before=0 mode-before=1\nready=0\n"},
      {both(true, true), ours + "parent-before=1 mode-before=1\nready=1\n"},
  };
  for (const auto& row : rows) {
    Substitutes s;
    EXPECT_CALL(s.launchServices, registerURL(_, _)).Times(0);
    EXPECT_CALL(s.textInput, registerInputSource(_)).Times(0);
    EXPECT_CALL(s.textInput, enableInputSource(_)).Times(0);
    EXPECT_CALL(s.runLoop, runFor(_)).Times(0);
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(row.list));
    const Outcome outcome = run(s, /*check=*/true);
    EXPECT_EQ(outcome.status, row.out.ends_with("ready=1\n") ? 0 : 1);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(Registration, RepairFormRepairsBetweenTheSecondAndThirdWaitOrEndsTheRun) {
  TempDir dir;
  Substitutes s;
  s.store.disk = Value(Array{layout(), parentRecord(), modeRecord()});
  ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(true, true)));
  {
    InSequence order;
    EXPECT_CALL(s.textInput, enableInputSource(kParent)).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.textInput, enableInputSource(kMode)).WillOnce(Return(0));
    EXPECT_CALL(s.runLoop, runFor(1.0));
    EXPECT_CALL(s.notifier, post(_));
    EXPECT_CALL(s.runLoop, runFor(0.5));
    EXPECT_CALL(s.notifier, post(_));
    EXPECT_CALL(s.runLoop, runFor(1.0));
  }
  const std::string head = kListed + "parent-before=1 mode-before=1\nenable-parent=0\nenable-mode=0\n";
  const Outcome outcome = run(s, false, dir / "backup.plist");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, head + "refresh-own-enabled-entries=1 foreign-preserved=1\n" +
                             "enabled-list-preserved=3 appended=0 verified=1\nparent-after=1 mode-after=1\n" +
                             "registration-complete=1\n");

  // A failed repair (here: no list at all) ends the run: no third wait, no after record.
  Substitutes failing;
  ON_CALL(failing.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(true, true)));
  EXPECT_CALL(failing.runLoop, runFor(1.0)).Times(2);
  const Outcome refused = run(failing, false, dir / "second.plist");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, head);
  EXPECT_EQ(refused.err, "Unexpected enabled source list; no preferences changed\n");
}

// What only the dispatch decides; the exit status and lines of every argument
// form are checked on the built program.
TEST(Dispatch, SetsUpTheApplicationFirstExceptForTheExchangeAndRegistersTheAbsolutePath) {
  TempDir dir;
  const std::string folder = dir / "Input Methods 中文\nzwei", app = folder + "/Sonarell.app";
  makeBundle(app, std::string(BundleID));
  auto dispatch = [&](Substitutes& s, std::vector<const char*> argv) {
    argv.insert(argv.begin(), "Keyloom");
    return captured([&](Streams streams) {
      return Dispatch(static_cast<int>(argv.size()), argv.data(), s.services, streams, dir.str());
    });
  };
  const std::string contents = app + "/Contents";
  for (const std::vector<const char*>& args : std::vector<std::vector<const char*>>{
           {}, {app.c_str(), "--CHECK"}, {"Other.app"}, {"--exchange-contents", contents.c_str(), "x"}}) {
    Substitutes s;
    const int setUp = args.size() != 3;
    {
      InSequence order;
      EXPECT_CALL(s.application, setActivationPolicyProhibited()).Times(setUp);
      EXPECT_CALL(s.application, finishLaunching()).Times(setUp);
    }
    EXPECT_EQ(dispatch(s, args).status, 2) << args.size();
  }

  // A relative path is taken against the working directory; a trailing separator names the same folder.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  Substitutes s;
  EXPECT_CALL(s.launchServices, registerURL(app, true)).WillOnce(Return(-1));
  const Outcome outcome = dispatch(s, {"Sonarell.app/"});
  std::filesystem::current_path(previous);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "launchservices-register=-1\n");
}

}  // namespace
}  // namespace sonarell::keyloom
