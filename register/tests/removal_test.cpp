// What both list forms refuse, and taking our records out of the enabled-source list, in-process against
// substitutes.

#include <filesystem>

#include "platform/plist/codec.h"
#include "register/enabled_list_removal.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using namespace test;

const std::string kUntouched = "enabled-list-untouched=1\n";

// What both list forms refuse before anything changes: a list of the wrong shape, a backup that cannot be a
// new file, a list changed between the read and the check after the backup. Nothing is disabled, written or
// announced; only a backup that was written stays, holding the list as read.
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
      {"a backup path that is no text", full, dir / "back\xff\xfeup.plist", false, full, kNoBackup},
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

// What the services do when a source is disabled: every element holding each key and value of the source's
// record leaves the stored list.
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

// Our records leave the list and nothing else moves or changes: first by disabling what the services report
// enabled (the mode first, then a wait), then with one write for whatever of ours is left. A list without
// anything of ours is not touched and needs no backup. Every failure after the backup (the refusals before it
// are both list forms' own, see KeyloomListForms) ends with status 1 and never reports the list verified; the
// backup stays, and what another writer stored is never overwritten.
TEST(KeyloomRemoval, TakesOutOursAndKeepsEveryOtherEntryOrFails) {
  TempDir dir;
  const std::string backup = dir / "backup.plist", disabled = "disable-mode=0\ndisable-parent=0\n";
  const Value parentExtra = with(parentDict(), "Added By", str("platform")),
              modeExtra = with(modeDict(), "Order", Value(2));
  const Value full(kFull), theirs(Array{otherMethod()});
  const Value fullAndMore(Array{layout(), parentRecord(), otherMethod(), modeRecord(), layout()});
  const int kWait = -1;  // another writer while the run loop waits
  const struct {
    std::optional<Value> initial;
    bool parentEnabled, modeEnabled;  // as the services report them
    std::optional<Value> left;        // the list at the end; what another writer stores
    std::string out, err = "";
    bool written = false;  // the run itself stores the list
    int disableStatus = 0, failAt = 0,
        writeAt = 0;  // the mode's; the synchronise that fails; another writer's
  } rows[] = {
      {full, true, true, Value(Array{layout(), otherMethod()}), disabled + removed(2, 2)},
      // Further keys in ours; a record of another mode of ours, which disabling leaves.
      {Value(Array{parentExtra, layout(), kOtherMode, otherMethod(), modeExtra, kNoBundle, kNumeric}), true,
       true, Value(Array{layout(), otherMethod(), kNoBundle, kNumeric}), disabled + removed(3, 4), "", true},
      // Sources the services do not report enabled: the records go with the write alone.
      {Value(Array{modeRecord(), layout(), parentRecord(), parentRecord()}), false, false,
       Value(Array{layout()}), removed(3, 1), "", true},
      {Value(Array{layout(), parentRecord(), modeRecord()}), true, false, Value(Array{layout()}),
       "disable-parent=0\n" + removed(2, 1), "", true},
      {Value(Array{layout(), otherMethod()}), false, false, Value(Array{layout(), otherMethod()}),
       kUntouched},
      {std::nullopt, false, false, std::nullopt, kUntouched},
      // Reported enabled with nothing of ours in the list: disabled, and the list still untouched.
      {theirs, true, true, theirs, disabled + kUntouched},
      {full, true, true, fullAndMore, disabled, kConcurrent, false, 0, 0, kWait},
      // Putting the foreign entries back would undo another writer's change.
      {full, true, true, Value(Array{layout()}), disabled, kConcurrent, false, 0, 0, kWait},
      {full, true, true, full, "disable-mode=-61\n", notStored("the lock is held"), false, -61},
      {full, false, false, full, "", notStored("the disk is full"), true, 0, 4},
      {full, false, false, theirs, "", kReadbackDiffers, true, 0, 0, 4},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
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
        .WillByDefault(
            Return(InputSourceList{source(true, row.parentEnabled), source(false, row.modeEnabled)}));
    ON_CALL(s.textInput, lastFailure()).WillByDefault(Return("the lock is held"));
    ON_CALL(s.textInput, disableInputSource(kMode)).WillByDefault([&](auto&&) {
      if (row.disableStatus == 0) disableTakesOut(s.store.disk, modeDict());
      return row.disableStatus;
    });
    ON_CALL(s.textInput, disableInputSource(kParent)).WillByDefault([&](auto&&) {
      disableTakesOut(s.store.disk, parentDict());
      return 0;
    });
    const bool disabling = (row.parentEnabled || row.modeEnabled) && row.disableStatus == 0;
    {
      InSequence order;
      EXPECT_CALL(s.textInput, disableInputSource(kMode)).Times(row.modeEnabled);
      EXPECT_CALL(s.textInput, disableInputSource(kParent))
          .Times(row.parentEnabled && row.disableStatus == 0);
      EXPECT_CALL(s.runLoop, runFor(1.0)).Times(disabling);
    }
    const bool touched = !row.out.ends_with(kUntouched);
    EXPECT_CALL(s.notifier, post(_)).Times(0);
    EXPECT_CALL(s.notifier, post(kNotification)).Times(touched && row.err.empty());
    EXPECT_EQ(removal(s, backup), (Outcome{row.err.empty() ? 0 : 1, row.out, row.err}));
    EXPECT_EQ(s.store.disk, row.left);
    EXPECT_EQ(s.store.sets, row.written ? 1 : 0);
    EXPECT_EQ(std::filesystem::exists(backup) ? plist::readFile(backup) : std::nullopt,
              touched ? row.initial : std::nullopt);
    std::filesystem::remove(backup);
  }
}

}  // namespace
}  // namespace sonarell::keyloom
