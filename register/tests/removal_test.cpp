// What both list forms refuse, and taking our records out of the enabled-source
// list, in-process against substitutes.

#include <filesystem>

#include "platform/plist/codec.h"
#include "register/enabled_list_removal.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using namespace test;

const std::string kUntouched = "enabled-list-untouched=1\n";

// What both list forms refuse before anything changes: a list of the wrong
// shape, a backup that cannot be a new file, a list changed between the read
// and the check after the backup. Nothing is disabled, written or announced;
// only a backup that was written stays, holding the list as read.
TEST(KeyloomListForms, RefusalsChangeNothing) {
  TempDir dir;
  const std::string existing = dir / "existing.plist", fresh = dir / "fresh.plist";
  writeFile(existing, "someone's own file\n");
  const Value full(kFull), stray(Array{layout(), str("stray")});
  const struct {
    const char* name;
    Value initial;
    std::string path;
    bool writer;  // another writer stores `left` right after the backup
    std::optional<Value> left;
    std::string err;
  } rows[] = {
      {"no array", str("ABC"), fresh, false, str("ABC"), kShape},
      {"a string in the array", stray, fresh, false, stray, kShape},
      {"an existing backup", full, existing, false, full, kNoBackup},
      {"a backup in a missing folder", full, dir / "missing/b.plist", false, full, kNoBackup},
      {"a backup path that is no text", full, dir / "back\xff\xfeup.plist", false, full, kNoBackup},
      {"no backup path", full, "", false, full, kNoBackup},
      {"a writer between the backup and the check", full, fresh, true, Value(Array{otherMethod()}),
       kConcurrent},
      {"the list removed between them", full, fresh, true, std::nullopt, kConcurrent},
  };
  for (const bool removing : {false, true}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(removing ? "removal: " : "repair: ") + row.name);
      Substitutes s;
      s.store.disk = row.initial;
      s.store.otherWriter = [&](int n, std::optional<Value>& disk) {
        if (row.writer && n == 2) disk = row.left;
      };
      ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(true, true)));
      EXPECT_CALL(s.textInput, disableInputSource(_)).Times(0);
      EXPECT_CALL(s.notifier, post(_)).Times(0);
      EXPECT_EQ(removing ? removal(s, row.path) : repair(s, row.path), (Outcome{1, "", row.err}));
      EXPECT_EQ(s.store.disk, row.left);
      EXPECT_EQ(s.store.sets, 0);
      EXPECT_EQ(std::filesystem::exists(fresh) ? plist::readFile(fresh) : std::nullopt,
                row.writer ? std::optional(row.initial) : std::nullopt);
      std::filesystem::remove(fresh);
    }
  }
  EXPECT_EQ(readFile(existing), "someone's own file\n");
  EXPECT_EQ(sonarell::test::namesIn(dir.path()), std::vector<std::string>{"existing.plist"});
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
    EXPECT_EQ(removal(s, backup), (Outcome{0, row.out, ""}));
    EXPECT_EQ(s.store.disk, row.left);
    EXPECT_EQ(s.store.sets, row.written ? 1 : 0);
    EXPECT_EQ(std::filesystem::exists(backup) ? plist::readFile(backup) : std::nullopt,
              touched ? row.initial : std::nullopt);
    std::filesystem::remove(backup);
  }
}

// Every failure after the backup (the refusals before it are both list forms'
// own, see KeyloomListForms) ends with status 1 and never reports the list
// verified; the backup stays, and what another writer stored is never overwritten.
TEST(KeyloomRemoval, FailuresAfterTheBackup) {
  TempDir dir;
  const std::string backup = dir / "backup.plist";
  const Value full(kFull), theirs(Array{otherMethod()});
  const Value fullAndMore(Array{layout(), parentRecord(), otherMethod(), modeRecord(), layout()});
  const int kWait = -1;  // another writer while the run loop waits
  const struct {
    const char* name;
    bool enabled;       // the services report our sources enabled, and disabling takes them out
    int disableStatus;  // what disabling the mode returns
    int failAt, writeAt;
    std::optional<Value> left;  // what the other writer stores; the list at the end
    std::string out, err;
  } rows[] = {
      {"a writer during the wait", true, 0, 0, kWait, fullAndMore, "disable-mode=0\ndisable-parent=0\n",
       kConcurrent},
      // Putting the foreign entries back would undo another writer's change.
      {"a foreign entry taken out during the wait", true, 0, 0, kWait, Value(Array{layout()}),
       "disable-mode=0\ndisable-parent=0\n", kConcurrent},
      {"disabling fails", true, -61, 0, 0, full, "disable-mode=-61\n", notStored("the lock is held")},
      {"the write fails", false, 0, 4, 0, full, "", notStored("the disk is full")},
      {"another writer wins the write", false, 0, 0, 4, theirs, "", kReadbackDiffers},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Substitutes s;
    s.store.disk = full;
    s.store.failingSync = row.failAt;
    s.store.otherWriter = [&](int n, std::optional<Value>& disk) {
      if (n == row.writeAt) disk = row.left;
    };
    ON_CALL(s.runLoop, runFor(1.0)).WillByDefault([&](double) {
      if (row.writeAt == kWait) s.store.disk = row.left;
    });
    ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(row.enabled, row.enabled)));
    ON_CALL(s.textInput, lastFailure()).WillByDefault(Return("the lock is held"));
    ON_CALL(s.textInput, disableInputSource(kMode)).WillByDefault(Return(row.disableStatus));
    ON_CALL(s.textInput, disableInputSource(kParent)).WillByDefault([&](auto&&) {
      disableTakesOut(s.store.disk, parentDict());
      disableTakesOut(s.store.disk, modeDict());
      return 0;
    });
    EXPECT_CALL(s.textInput, disableInputSource(kMode)).Times(row.enabled);
    EXPECT_CALL(s.textInput, disableInputSource(kParent)).Times(row.enabled && !row.disableStatus);
    EXPECT_CALL(s.notifier, post(_)).Times(0);
    EXPECT_EQ(removal(s, backup), (Outcome{1, row.out, row.err}));
    EXPECT_EQ(s.store.disk, row.left);
    EXPECT_EQ(s.store.sets, row.failAt || row.writeAt == 4 ? 1 : 0);
    EXPECT_EQ(plist::readFile(backup), full);
    std::filesystem::remove(backup);
  }
}

}  // namespace
}  // namespace sonarell::keyloom
