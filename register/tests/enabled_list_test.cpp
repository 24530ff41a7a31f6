#include "register/enabled_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "register/tests/substitutes.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using ::testing::_;
using testing::CapturedStreams;
using testing::FakeStore;
using ::testing::InSequence;
using ::testing::Invoke;
using testing::keyboardLayout;
using testing::otherInputMethod;
using testing::str;
using ::testing::StrictMock;
using testing::Substitutes;
using testing::TempDir;

const std::string kNotification(textinput::kTISNotifyEnabledKeyboardInputSourcesChanged);

Dictionary withExtra(Dictionary record, const std::string& key, Value value) {
  record.set(key, std::move(value));
  return record;
}

struct Outcome {
  bool ok;
  std::string out;
  std::string err;
};

Outcome repair(Substitutes& s, const std::string& backupPath) {
  CapturedStreams streams;
  const bool ok = RepairEnabledList(backupPath, s.services, Streams{streams.out(), streams.err()});
  return {ok, streams.outText(), streams.errText()};
}

std::optional<Value> backupContent(const std::string& path) { return plist::readFile(path); }

TEST(EnabledListWithOurs, RefusesEveryShapeButAnArrayOfDictionaries) {
  EXPECT_FALSE(EnabledListWithOurs(std::nullopt));
  EXPECT_FALSE(EnabledListWithOurs(str("Keyboard Layout")));
  EXPECT_FALSE(EnabledListWithOurs(Value(Dictionary{{"Bundle ID", str(BundleID)}})));
  EXPECT_FALSE(EnabledListWithOurs(Value(Array{Value(keyboardLayout(252, "ABC")), str("stray")})));
  EXPECT_FALSE(EnabledListWithOurs(Value(Array{Value(ParentRecord()), Value(ModeRecord()), Value(7)})));
}

TEST(EnabledListWithOurs, AppendsOnlyTheMissingRecordsAtTheEnd) {
  const Value layout(keyboardLayout(252, "ABC"));
  const Value other(otherInputMethod());

  EXPECT_EQ(EnabledListWithOurs(Value(Array{})), (Array{Value(ParentRecord()), Value(ModeRecord())}));

  EXPECT_EQ(EnabledListWithOurs(Value(Array{layout, Value(ParentRecord()), other})),
            (Array{layout, Value(ParentRecord()), other, Value(ModeRecord())}));

  // The mode alone present: the parent goes after it, at the end.
  EXPECT_EQ(EnabledListWithOurs(Value(Array{Value(ModeRecord()), layout})),
            (Array{Value(ModeRecord()), layout, Value(ParentRecord())}));

  // Extra keys do not stop a match, so nothing is appended.
  const Array withExtras{layout, Value(withExtra(ParentRecord(), "Added By", str("platform"))), other,
                         Value(withExtra(ModeRecord(), "Input Source Order", Value(3)))};
  EXPECT_EQ(EnabledListWithOurs(Value(withExtras)), withExtras);

  // Our identifier with another mode is not our mode record; it stays in place.
  Dictionary otherMode = ModeRecord();
  otherMode.set("Input Mode", str("org.quennet.inputmethod.Sonarell.Latn"));
  EXPECT_EQ(EnabledListWithOurs(Value(Array{Value(ParentRecord()), Value(otherMode)})),
            (Array{Value(ParentRecord()), Value(otherMode), Value(ModeRecord())}));

  // A value of another type under a key is no match, and neither is a missing key.
  Dictionary numericBundle = ParentRecord();
  numericBundle.set("Bundle ID", Value(1));
  Dictionary kindless{{"Bundle ID", str(BundleID)}, {"Input Mode", str(ModeID)}};
  EXPECT_EQ(EnabledListWithOurs(Value(Array{Value(numericBundle), Value(kindless)})),
            (Array{Value(numericBundle), Value(kindless), Value(ParentRecord()), Value(ModeRecord())}));
}

TEST(EnabledListRecords, ForeignMeansAnyOtherOrNoBundleID) {
  EXPECT_TRUE(IsForeign(Value(keyboardLayout(252, "ABC"))));
  EXPECT_TRUE(IsForeign(Value(otherInputMethod())));
  EXPECT_TRUE(IsForeign(Value(Dictionary{{"Bundle ID", Value(5)}})));
  EXPECT_FALSE(IsForeign(Value(ParentRecord())));
  EXPECT_FALSE(IsForeign(Value(Dictionary{{"Bundle ID", str(BundleID)}, {"Input Mode", str("x")}})));
  EXPECT_TRUE(Matches(withExtra(ModeRecord(), "x", Value(true)), ModeRecord()));
  EXPECT_FALSE(Matches(ParentRecord(), ModeRecord()));
}

class RepairTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }
  std::string backup() const { return dir / "backup.plist"; }

  TempDir dir;
  Substitutes s;
};

TEST_F(RepairTest, AppendsOurRecordsAfterBackupAndAnnouncesOnce) {
  const Array initial{Value(keyboardLayout(252, "ABC")), Value(otherInputMethod())};
  s.store.disk = Value(initial);
  EXPECT_CALL(s.notifier, post(kNotification)).Times(1);
  EXPECT_CALL(s.runLoop, runFor(_)).Times(0);

  const Outcome outcome = repair(s, backup());

  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.out, "enabled-list-preserved=2 appended=2 verified=1\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(s.store.disk, Value(Array{initial[0], initial[1], Value(ParentRecord()), Value(ModeRecord())}));
  EXPECT_EQ(backupContent(backup()), Value(initial));
  EXPECT_EQ(testing::readFile(backup()).rfind("<?xml", 0), 0u);
  EXPECT_TRUE(s.store.strayRequests.empty());
}

TEST_F(RepairTest, EmptyListGetsBothRecordsAndAnEmptyBackup) {
  s.store.disk = Value(Array{});
  const Outcome outcome = repair(s, backup());
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.out, "enabled-list-preserved=0 appended=2 verified=1\n");
  EXPECT_EQ(backupContent(backup()), Value(Array{}));
  EXPECT_EQ(s.store.disk, Value(Array{Value(ParentRecord()), Value(ModeRecord())}));
}

TEST_F(RepairTest, RefreshTakesOurRecordsOutForHalfASecondAndRestoresTheListExactly) {
  Dictionary otherMode = ModeRecord();
  otherMode.set("Input Mode", str("org.quennet.inputmethod.Sonarell.Latn"));
  const Value layout(keyboardLayout(252, "ABC"));
  const Value other(otherInputMethod());
  const Value noBundle(Dictionary{{"InputSourceKind", str("Keyboard Layout")}});
  const Array initial{layout,
                      Value(withExtra(ParentRecord(), "Added By", str("platform"))),
                      Value(otherMode),
                      other,
                      Value(withExtra(ModeRecord(), "Order", Value(2))),
                      noBundle};
  const Array foreign{layout, other, noBundle};
  s.store.disk = Value(initial);
  {
    InSequence order;
    EXPECT_CALL(s.notifier, post(kNotification));
    EXPECT_CALL(s.runLoop, runFor(0.5)).WillOnce(Invoke([&](double) {
      // While the loop runs, only the foreign entries are stored.
      EXPECT_EQ(s.store.disk, Value(foreign));
    }));
    EXPECT_CALL(s.notifier, post(kNotification));
  }

  const Outcome outcome = repair(s, backup());

  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.out,
            "refresh-own-enabled-entries=1 foreign-preserved=3\n"
            "enabled-list-preserved=6 appended=0 verified=1\n");
  EXPECT_EQ(outcome.err, "");
  ASSERT_TRUE(s.store.disk && s.store.disk->asArray());
  const Array& final = *s.store.disk->asArray();
  ASSERT_EQ(final.size(), initial.size());
  for (std::size_t i = 0; i < initial.size(); ++i) EXPECT_EQ(final[i], initial[i]) << "element " << i;
  EXPECT_EQ(backupContent(backup()), Value(initial));
}

TEST_F(RepairTest, RefusesAListOfTheWrongShapeWithoutBackupOrWrite) {
  for (const std::optional<Value>& value :
       {std::optional<Value>(), std::optional<Value>(str("ABC")),
        std::optional<Value>(Value(Array{Value(ParentRecord()), str("stray")}))}) {
    Substitutes fresh;
    fresh.store.disk = value;
    EXPECT_CALL(fresh.notifier, post(_)).Times(0);
    const Outcome outcome = repair(fresh, backup());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Unexpected enabled source list; no preferences changed\n");
    EXPECT_EQ(fresh.store.sets, 0);
    EXPECT_EQ(fresh.store.disk, value);
    EXPECT_FALSE(std::filesystem::exists(backup()));
  }
}

TEST_F(RepairTest, RefusesEveryBackupPathThatCannotTakeANewFile) {
  testing::writeFile(backup(), "someone's own file\n");
  const std::string notUtf8 = dir / "back\xff\xfeup.plist";
  for (const std::string& path : {backup(), dir / "missing/backup.plist", notUtf8, std::string()}) {
    Substitutes fresh;
    const Value initial(Array{Value(keyboardLayout(252, "ABC"))});
    fresh.store.disk = initial;
    EXPECT_CALL(fresh.notifier, post(_)).Times(0);
    const Outcome outcome = repair(fresh, path);
    EXPECT_FALSE(outcome.ok) << path;
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Could not create a new enabled-source backup\n");
    EXPECT_EQ(fresh.store.sets, 0);
    EXPECT_EQ(fresh.store.disk, initial);
  }
  EXPECT_EQ(testing::readFile(backup()), "someone's own file\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  EXPECT_FALSE(std::filesystem::exists(notUtf8));
}

TEST_F(RepairTest, AnotherWriterBetweenTheTwoReadsStopsItBeforeAnyWrite) {
  const Value initial(Array{Value(keyboardLayout(252, "ABC"))});
  const Value theirs(Array{Value(keyboardLayout(252, "ABC")), Value(otherInputMethod())});
  s.store.disk = initial;
  s.store.otherWriter = [&](int n, std::optional<Value>& disk) {
    if (n == 2) disk = theirs;
  };
  EXPECT_CALL(s.notifier, post(_)).Times(0);

  const Outcome outcome = repair(s, backup());

  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Enabled source list changed concurrently; retry installation\n");
  EXPECT_EQ(s.store.sets, 0);
  EXPECT_EQ(s.store.disk, theirs);
  EXPECT_EQ(backupContent(backup()), initial);

  // The value removed by the other writer counts as a change too.
  Substitutes removed;
  removed.store.disk = initial;
  removed.store.otherWriter = [](int n, std::optional<Value>& disk) {
    if (n == 2) disk.reset();
  };
  TempDir other;
  EXPECT_EQ(repair(removed, other / "b.plist").err,
            "Enabled source list changed concurrently; retry installation\n");
}

// Both own records present, so the refresh stage runs; synchronise 3 is the one
// after writing the foreign entries, 4 the one after the wait, 5 the final one.
Array fullList() {
  return Array{Value(keyboardLayout(252, "ABC")), Value(ParentRecord()), Value(otherInputMethod()),
               Value(ModeRecord())};
}
Array foreignOfFullList() { return Array{Value(keyboardLayout(252, "ABC")), Value(otherInputMethod())}; }

TEST_F(RepairTest, FailuresWithinTheRefreshStage) {
  const Value theirs(Array{Value(otherInputMethod())});

  {  // Storing the foreign entries fails: silent, nothing announced, no wait.
    Substitutes f;
    f.store.disk = Value(fullList());
    f.store.failingSyncs = {3};
    EXPECT_CALL(f.notifier, post(_)).Times(0);
    EXPECT_CALL(f.runLoop, runFor(_)).Times(0);
    const Outcome outcome = repair(f, backup());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(f.store.disk, Value(fullList()));
    std::filesystem::remove(backup());
  }
  {  // What is read back is not the foreign entries: silent.
    Substitutes f;
    f.store.disk = Value(fullList());
    f.store.otherWriter = [&](int n, std::optional<Value>& disk) {
      if (n == 3) disk = theirs;
    };
    EXPECT_CALL(f.notifier, post(_)).Times(0);
    EXPECT_CALL(f.runLoop, runFor(_)).Times(0);
    const Outcome outcome = repair(f, backup());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    std::filesystem::remove(backup());
  }
  {  // Another writer during the wait: reported, and the other writer's list stays.
    Substitutes f;
    f.store.disk = Value(fullList());
    {
      InSequence order;
      EXPECT_CALL(f.notifier, post(kNotification));
      EXPECT_CALL(f.runLoop, runFor(0.5)).WillOnce(Invoke([&](double) { f.store.disk = theirs; }));
    }
    const Outcome outcome = repair(f, backup());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Enabled source list changed during refresh; retry installation\n");
    EXPECT_EQ(f.store.disk, theirs);
    EXPECT_EQ(f.store.sets, 1);
    EXPECT_EQ(backupContent(backup()), Value(fullList()));
  }
}

TEST_F(RepairTest, FailuresOfTheFinalWrite) {
  const Value initial(Array{Value(keyboardLayout(252, "ABC"))});
  {  // Storing fails: silent, nothing announced.
    Substitutes f;
    f.store.disk = initial;
    f.store.failingSyncs = {3};
    EXPECT_CALL(f.notifier, post(_)).Times(0);
    const Outcome outcome = repair(f, backup());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(f.store.disk, initial);
    std::filesystem::remove(backup());
  }
  {  // Another writer wins the race at the write: the readback line.
    Substitutes f;
    f.store.disk = initial;
    f.store.otherWriter = [](int n, std::optional<Value>& disk) {
      if (n == 3) disk = Value(Array{Value(otherInputMethod())});
    };
    EXPECT_CALL(f.notifier, post(_)).Times(0);
    const Outcome outcome = repair(f, backup());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Enabled source list readback differs\n");
    std::filesystem::remove(backup());
  }
  {  // The same on the refresh path: the foreign record line comes first.
    Substitutes f;
    f.store.disk = Value(fullList());
    f.store.failingSyncs = {5};
    EXPECT_CALL(f.notifier, post(kNotification)).Times(1);
    const Outcome outcome = repair(f, backup());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, "refresh-own-enabled-entries=1 foreign-preserved=2\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(f.store.disk, Value(foreignOfFullList()));
  }
}

// The real preference store, with another process's writer appending a record
// to the list just before the repair's synchronise number `raceAt` takes the lock.
const std::string kKey(kEnabledInputSourcesKey);
const std::string kDomain(kHIToolboxDomain);

class RacedStore : public preferences::PreferenceStore {
 public:
  RacedStore(std::string home, int raceAt) : home_(std::move(home)), own_(home_), raceAt_(raceAt) {}
  std::optional<Value> copyAppValue(const std::string& key, const std::string& domain) override {
    return own_.copyAppValue(key, domain);
  }
  void setAppValue(const std::string& key, std::optional<Value> value, const std::string& domain) override {
    own_.setAppValue(key, std::move(value), domain);
  }
  bool synchronize(const std::string& domain) override {
    if (++syncs_ == raceAt_) {
      preferences::FilePreferenceStore other(home_);
      const std::optional<Value> list = other.copyAppValue(kKey, domain);
      Array appended = list && list->asArray() ? *list->asArray() : Array{};
      appended.emplace_back(
          Dictionary{{"InputSourceKind", str("Keyboard Layout")}, {"Added", str("elsewhere")}});
      other.setAppValue(kKey, Value(std::move(appended)), domain);
      EXPECT_TRUE(other.synchronize(domain)) << other.lastFailure();
    }
    return own_.synchronize(domain);
  }

 private:
  std::string home_;
  preferences::FilePreferenceStore own_;
  int raceAt_;
  int syncs_ = 0;
};

// A record another process appends between the repair's last read and its write
// is never lost: the write is refused and the run fails without a line, as any
// failed store does, and never reports the list verified.
TEST_F(RepairTest, AnotherWritersAppendIsRefusedNotLost) {
  const struct {
    const char* name;
    Array initial;
    int raceAt;  // 3: the first write; 5: the final write after the refresh
  } cases[] = {
      {"appending our records", Array{Value(keyboardLayout(252, "ABC"))}, 3},
      {"taking our records out", fullList(), 3},
      {"putting them back", fullList(), 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir home;
    ASSERT_TRUE(home.ok());
    preferences::FilePreferenceStore seed(home.path());
    seed.setAppValue(kKey, Value(c.initial), kDomain);
    ASSERT_TRUE(seed.synchronize(kDomain));

    RacedStore store(home.path(), c.raceAt);
    Substitutes f;
    Services services{store, f.textInput, f.launchServices, f.notifier, f.runLoop, f.application};
    CapturedStreams streams;
    EXPECT_FALSE(RepairEnabledList(home / "backup.plist", services, Streams{streams.out(), streams.err()}));
    EXPECT_EQ(streams.errText(), "");
    EXPECT_EQ(streams.outText().find("verified=1"), std::string::npos) << streams.outText();

    const std::optional<Value> stored =
        preferences::FilePreferenceStore(home.path()).copyAppValue(kKey, kDomain);
    ASSERT_TRUE(stored && stored->asArray());
    ASSERT_FALSE(stored->asArray()->empty());
    EXPECT_EQ(stored->asArray()->back(),
              Value(Dictionary{{"InputSourceKind", str("Keyboard Layout")}, {"Added", str("elsewhere")}}));
  }
}

// A list read from a binary file may hold what XML cannot carry; the repair must
// still back it up exactly and go on, rather than blame the backup.
TEST_F(RepairTest, AListOnlyTheBinaryFormCarriesIsBackedUpBinary) {
  const Value initial(
      Array{Value(Dictionary{{"InputSourceKind", str("Keyboard Layout")}, {"Name", str("bell\a")}})});
  s.store.disk = initial;
  const Outcome outcome = repair(s, backup());
  EXPECT_TRUE(outcome.ok) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(backupContent(backup()), initial);
}

}  // namespace
}  // namespace sonarell::keyloom
