// Taking our records out of the enabled-source list, in-process against substitutes.

#include <filesystem>

#include "platform/plist/codec.h"
#include "register/enabled_list_removal.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Return;
using namespace test;
using textinput::InputSource;
using textinput::InputSourceList;

const std::string kNotification(textinput::kTISNotifyEnabledKeyboardInputSourcesChanged);
const std::string kShape = "Unexpected enabled source list; no preferences changed\n";
const std::string kNoBackup = "Could not create a new enabled-source backup\n";
const std::string kConcurrent = "Enabled source list changed concurrently; retry installation\n";
const std::string kUntouched = "enabled-list-untouched=1\n";

MATCHER_P(SourceWithID, id, "") {
  const Value* value = arg.property(textinput::kTISPropertyInputSourceID);
  return value && *value == str(id);
}
const auto kParent = SourceWithID(BundleID), kMode = SourceWithID(ModeID);

Value with(Dictionary record, const std::string& key, Value value) {
  record.set(key, std::move(value));
  return Value(std::move(record));
}
std::string removed(std::size_t ours, std::size_t foreign) {
  return "enabled-list-removed=" + std::to_string(ours) + " foreign-preserved=" + std::to_string(foreign) +
         " verified=1\n";
}

// What the services do when a source is disabled: every element holding each
// key and value of the source's record leaves the stored list.
void disableTakesOut(std::optional<Value>& disk, const Dictionary& record) {
  if (!disk || !disk->asArray()) return;
  Array kept;
  for (const Value& element : *disk->asArray()) {
    const Dictionary* d = element.asDictionary();
    bool match = d != nullptr;
    for (const auto& [key, value] : record) match = match && d->find(key) && *d->find(key) == value;
    if (!match) kept.push_back(element);
  }
  disk = Value(std::move(kept));
}

Outcome remove(Substitutes& s, const std::string& backup) {
  return captured([&](Streams streams) { return RemoveFromEnabledList(backup, s.services, streams); });
}

const Value kOtherMode = with(modeDict(), "Input Mode", str("org.quennet.inputmethod.Sonarell.Latn"));
const Value kNoBundle(Dictionary{{"InputSourceKind", str("Keyboard Layout")}, {"Name", str("bell\a")}});
const Value kNumeric(Dictionary{{"Bundle ID", Value(7)}, {"Data", Value(plist::Data{{0, 1, 2}})}});

// Our records leave the list and nothing else moves or changes: first by
// disabling what the services report enabled (the mode first, then a wait),
// then with one write for whatever of ours is left. A list without anything of
// ours is not touched and needs no backup.
TEST(KeyloomRemoval, TakesOutOursAndKeepsEveryOtherEntry) {
  TempDir dir;
  const std::string backup = dir / "backup.plist";
  const Value parentExtra = with(parentDict(), "Added By", str("platform")),
              modeExtra = with(modeDict(), "Order", Value(2));
  const struct {
    std::optional<Value> initial;
    bool parentEnabled, modeEnabled;
    std::optional<Value> left;  // the list at the end
    std::string out;
    bool written;  // the run itself stores the list
  } rows[] = {
      {Value(Array{layout(), parentRecord(), otherMethod(), modeRecord()}), true, true,
       Value(Array{layout(), otherMethod()}), "disable-mode=0\ndisable-parent=0\n" + removed(2, 2), false},
      // Further keys in ours; a record of another mode of ours, which disabling leaves.
      {Value(Array{parentExtra, layout(), kOtherMode, otherMethod(), modeExtra, kNoBundle, kNumeric}), true,
       true, Value(Array{layout(), otherMethod(), kNoBundle, kNumeric}),
       "disable-mode=0\ndisable-parent=0\n" + removed(3, 4), true},
      // Sources the services do not report enabled: the records go with the write alone.
      {Value(Array{modeRecord(), layout(), parentRecord(), parentRecord()}), false, false,
       Value(Array{layout()}), removed(3, 1), true},
      {Value(Array{layout(), parentRecord(), modeRecord()}), true, false, Value(Array{layout()}),
       "disable-parent=0\n" + removed(2, 1), true},
      {Value(Array{modeRecord()}), false, true, Value(Array{}), "disable-mode=0\n" + removed(1, 0), false},
      {Value(Array{layout(), otherMethod()}), false, false, Value(Array{layout(), otherMethod()}), kUntouched,
       false},
      {Value(Array{}), false, false, Value(Array{}), kUntouched, false},
      {std::nullopt, false, false, std::nullopt, kUntouched, false},
      // Reported enabled with nothing of ours in the list: disabled, and the list still untouched.
      {Value(Array{otherMethod()}), true, true, Value(Array{otherMethod()}),
       "disable-mode=0\ndisable-parent=0\n" + kUntouched, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.initial));
    Substitutes s;
    s.store.disk = row.initial;
    ON_CALL(s.textInput, createInputSourceList(_, _))
        .WillByDefault(
            Return(InputSourceList{source(true, row.parentEnabled), source(false, row.modeEnabled)}));
    ON_CALL(s.textInput, disableInputSource(kMode)).WillByDefault([&](auto&&) {
      disableTakesOut(s.store.disk, modeDict());
      return 0;
    });
    ON_CALL(s.textInput, disableInputSource(kParent)).WillByDefault([&](auto&&) {
      disableTakesOut(s.store.disk, parentDict());
      return 0;
    });
    {
      InSequence order;
      EXPECT_CALL(s.textInput, disableInputSource(kMode)).Times(row.modeEnabled);
      EXPECT_CALL(s.textInput, disableInputSource(kParent)).Times(row.parentEnabled);
      EXPECT_CALL(s.runLoop, runFor(1.0)).Times(row.parentEnabled || row.modeEnabled);
    }
    const bool touched = !row.out.ends_with(kUntouched);
    EXPECT_CALL(s.notifier, post(kNotification)).Times(touched);
    EXPECT_EQ(remove(s, backup), (Outcome{0, row.out, ""}));
    EXPECT_EQ(s.store.disk, row.left);
    EXPECT_EQ(s.store.sets, row.written ? 1 : 0);
    EXPECT_EQ(std::filesystem::exists(backup) ? plist::readFile(backup) : std::nullopt,
              touched ? row.initial : std::nullopt);
    std::filesystem::remove(backup);
  }
}

// Every failure ends with status 1 and never reports the list verified. A
// refusal before the backup changes nothing and leaves no backup; after it, the
// backup stays and what another writer stored is never overwritten.
TEST(KeyloomRemoval, FailureRows) {
  TempDir dir;
  const std::string existing = dir / "existing.plist", fresh = dir / "fresh.plist";
  writeFile(existing, "someone's own file\n");
  const std::string notStored = "Could not store the enabled input sources: ";
  const Value full(Array{layout(), parentRecord(), otherMethod(), modeRecord()});
  const Value stray(Array{layout(), str("stray")}), theirs(Array{otherMethod()});
  const Value fullAndMore(Array{layout(), parentRecord(), otherMethod(), modeRecord(), layout()});
  const int kWait = -1;  // another writer while the run loop waits
  const struct {
    const char* name;
    std::optional<Value> initial;
    std::string path;
    bool enabled;       // the services report our sources enabled, and disabling takes them out
    int disableStatus;  // what disabling the mode returns
    int failAt, writeAt;
    std::optional<Value> left;  // what the other writer stores; the list at the end
    std::string out, err;
  } rows[] = {
      {"no array", str("ABC"), fresh, true, 0, 0, 0, str("ABC"), "", kShape},
      {"a string in the array", stray, fresh, true, 0, 0, 0, stray, "", kShape},
      {"an existing backup", full, existing, true, 0, 0, 0, full, "", kNoBackup},
      {"a backup in a missing folder", full, dir / "missing/b.plist", true, 0, 0, 0, full, "", kNoBackup},
      {"a writer between the backup and the disabling", full, fresh, true, 0, 0, 2, theirs, "", kConcurrent},
      {"a writer during the wait", full, fresh, true, 0, 0, kWait, fullAndMore,
       "disable-mode=0\ndisable-parent=0\n", kConcurrent},
      // Putting the foreign entries back would undo another writer's change.
      {"a foreign entry taken out during the wait", full, fresh, true, 0, 0, kWait, Value(Array{layout()}),
       "disable-mode=0\ndisable-parent=0\n", kConcurrent},
      {"disabling fails", full, fresh, true, -61, 0, 0, full, "disable-mode=-61\n",
       notStored + "the lock is held; retry installation\n"},
      {"the write fails", full, fresh, false, 0, 4, 0, full, "",
       notStored + "the disk is full; retry installation\n"},
      {"another writer wins the write", full, fresh, false, 0, 0, 4, theirs, "",
       "Enabled source list readback differs\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Substitutes s;
    s.store.disk = row.initial;
    s.store.failingSync = row.failAt;
    s.store.otherWriter = [&](int n, std::optional<Value>& disk) {
      if (n == row.writeAt) disk = row.left;
    };
    ON_CALL(s.runLoop, runFor(1.0)).WillByDefault([&](double) {
      if (row.writeAt == kWait) s.store.disk = row.left;
    });
    ON_CALL(s.textInput, createInputSourceList(_, _))
        .WillByDefault(Return(InputSourceList{source(true, row.enabled), source(false, row.enabled)}));
    ON_CALL(s.textInput, lastFailure()).WillByDefault(Return("the lock is held"));
    ON_CALL(s.textInput, disableInputSource(kMode)).WillByDefault(Return(row.disableStatus));
    ON_CALL(s.textInput, disableInputSource(kParent)).WillByDefault([&](auto&&) {
      disableTakesOut(s.store.disk, parentDict());
      disableTakesOut(s.store.disk, modeDict());
      return 0;
    });
    const bool refused = row.err == kShape || row.err == kNoBackup, early = refused || row.writeAt == 2;
    EXPECT_CALL(s.textInput, disableInputSource(kMode)).Times(row.enabled && !early);
    EXPECT_CALL(s.textInput, disableInputSource(kParent)).Times(row.enabled && !early && !row.disableStatus);
    EXPECT_CALL(s.notifier, post(_)).Times(0);
    EXPECT_EQ(remove(s, row.path), (Outcome{1, row.out, row.err}));
    EXPECT_EQ(s.store.disk, row.left);
    EXPECT_EQ(s.store.sets, row.failAt || row.writeAt == 4 ? 1 : 0);
    EXPECT_EQ(std::filesystem::exists(fresh) ? plist::readFile(fresh) : std::nullopt,
              refused ? std::nullopt : row.initial);
    std::filesystem::remove(fresh);
  }
  EXPECT_EQ(readFile(existing), "someone's own file\n");
  EXPECT_EQ(sonarell::test::namesIn(dir.path()), std::vector<std::string>{"existing.plist"});
}

}  // namespace
}  // namespace sonarell::keyloom
