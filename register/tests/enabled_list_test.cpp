#include "register/enabled_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using ::testing::_;
using ::testing::InSequence;
using namespace test;

const std::string kNotification(textinput::kTISNotifyEnabledKeyboardInputSourcesChanged);
const std::string kKey(kEnabledInputSourcesKey), kDomain(kHIToolboxDomain);

Value with(Dictionary record, const std::string& key, Value value) {
  record.set(key, std::move(value));
  return Value(std::move(record));
}

Outcome repair(Services& services, const std::string& backupPath) {
  return captured([&](Streams streams) { return RepairEnabledList(backupPath, services, streams) ? 0 : 1; });
}

// Both own records present, so the refresh stage runs: synchronise 3 is the one
// after writing the foreign entries, 4 the one after the wait, 5 the final one.
const Array kFull{layout(), parentRecord(), otherMethod(), modeRecord()};
const Value kOtherMode = with(modeDict(), "Input Mode", str("org.quennet.inputmethod.Sonarell.Latn"));

class RepairTest : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string backup = dir / "backup.plist";
};

// Nothing is moved or dropped: what is missing is appended at the end, after a
// backup of the list as it was (XML whenever XML can carry it), announced once.
TEST_F(RepairTest, AppendsOnlyTheMissingRecordsAtTheEnd) {
  const Value numericBundle = with(parentDict(), "Bundle ID", Value(1));
  const Value kindless(Dictionary{{"Bundle ID", str(BundleID)}, {"Input Mode", str(ModeID)}});
  const Value bell(Dictionary{{"InputSourceKind", str("Keyboard Layout")}, {"Name", str("bell\a")}});
  const struct {
    Array initial, appended;
  } rows[] = {
      {{}, {parentRecord(), modeRecord()}},
      {{layout(), otherMethod()}, {parentRecord(), modeRecord()}},
      {{layout(), parentRecord(), otherMethod()}, {modeRecord()}},
      {{modeRecord(), layout()}, {parentRecord()}},
      // Our identifier with another mode, or a key of another type or missing, is no match.
      {{parentRecord(), kOtherMode}, {modeRecord()}},
      {{numericBundle, kindless}, {parentRecord(), modeRecord()}},
      {{bell}, {parentRecord(), modeRecord()}},
  };
  for (const auto& row : rows) {
    Substitutes s;
    s.store.disk = Value(row.initial);
    EXPECT_CALL(s.notifier, post(kNotification)).Times(1);
    EXPECT_CALL(s.runLoop, runFor(_)).Times(0);
    std::filesystem::remove(backup);
    const Outcome outcome = repair(s.services, backup);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "enabled-list-preserved=" + std::to_string(row.initial.size()) +
                               " appended=" + std::to_string(row.appended.size()) + " verified=1\n");
    EXPECT_EQ(outcome.err, "");
    Array expected = row.initial;
    expected.insert(expected.end(), row.appended.begin(), row.appended.end());
    EXPECT_EQ(s.store.disk, Value(expected));
    EXPECT_EQ(plist::readFile(backup), Value(row.initial));
    EXPECT_EQ(readFile(backup).starts_with("<?xml"), plist::toXml(Value(row.initial)).has_value());
    EXPECT_TRUE(s.store.strayRequests.empty());
  }
}

TEST_F(RepairTest, RefreshTakesOurRecordsOutForHalfASecondAndRestoresTheListExactly) {
  const Value noBundle(Dictionary{{"InputSourceKind", str("Keyboard Layout")}});
  const Value numericBundle(Dictionary{{"Bundle ID", Value(5)}});
  const Array initial{layout(),
                      with(parentDict(), "Added By", str("platform")),
                      kOtherMode,
                      otherMethod(),
                      with(modeDict(), "Order", Value(2)),
                      noBundle,
                      numericBundle};
  Substitutes s;
  s.store.disk = Value(initial);
  {
    InSequence order;
    EXPECT_CALL(s.notifier, post(kNotification));
    EXPECT_CALL(s.runLoop, runFor(0.5)).WillOnce([&](double) {
      EXPECT_EQ(s.store.disk, Value(Array{layout(), otherMethod(), noBundle, numericBundle}));
    });
    EXPECT_CALL(s.notifier, post(kNotification));
  }
  const Outcome outcome = repair(s.services, backup);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "refresh-own-enabled-entries=1 foreign-preserved=4\n"
            "enabled-list-preserved=7 appended=0 verified=1\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(s.store.disk, Value(initial));
  EXPECT_EQ(plist::readFile(backup), Value(initial));
}

// Refusals before anything is written: the list as it was, no backup made or replaced.
TEST_F(RepairTest, RefusesAListOfTheWrongShapeOrABackupPathThatCannotTakeANewFile) {
  writeFile(backup, "someone's own file\n");
  const std::string shape = "Unexpected enabled source list; no preferences changed\n";
  const std::string noBackup = "Could not create a new enabled-source backup\n";
  const std::string fresh = dir / "fresh.plist";
  const Value one(Array{layout()});
  const struct {
    std::optional<Value> list;
    std::string path, err;
  } rows[] = {
      {std::nullopt, fresh, shape},
      {str("ABC"), fresh, shape},
      {Value(parentDict()), fresh, shape},
      {Value(Array{layout(), str("stray")}), fresh, shape},
      {Value(Array{parentRecord(), modeRecord(), Value(7)}), fresh, shape},
      {one, backup, noBackup},
      {one, dir / "missing/backup.plist", noBackup},
      {one, dir / "back\xff\xfeup.plist", noBackup},
      {one, "", noBackup},
  };
  for (const auto& row : rows) {
    Substitutes s;
    s.store.disk = row.list;
    EXPECT_CALL(s.notifier, post(_)).Times(0);
    const Outcome outcome = repair(s.services, row.path);
    EXPECT_EQ(outcome.status, 1) << row.path;
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(s.store.sets, 0);
    EXPECT_EQ(s.store.disk, row.list);
  }
  EXPECT_EQ(readFile(backup), "someone's own file\n");
  EXPECT_EQ(testsupport::namesIn(dir.path()), std::vector<std::string>{"backup.plist"});
}

// Every later failure: the run fails, never reports the list verified, announces
// only what it stored, and leaves whatever another writer stored.
TEST_F(RepairTest, FailureRows) {
  const Value one(Array{layout()}), full(kFull), foreign(Array{layout(), otherMethod()});
  const Value theirs(Array{otherMethod()});
  const std::string concurrent = "Enabled source list changed concurrently; retry installation\n";
  const std::string duringWait = "Enabled source list changed during refresh; retry installation\n";
  const std::string refreshed = "refresh-own-enabled-entries=1 foreign-preserved=2\n";
  const int kWait = -1;  // another writer while the run loop waits
  const struct {
    const char* name;
    Value initial;
    int failAt, writeAt;          // the synchronise that fails; the one where another writer stores
    std::optional<Value> stored;  // what it stores, and the list left at the end
    int posts;
    std::string out, err;
  } rows[] = {
      {"a writer between the two reads", one, 0, 2, foreign, 0, "", concurrent},
      {"the list removed between the reads", one, 0, 2, std::nullopt, 0, "", concurrent},
      {"the final write fails", one, 3, 0, one, 0, "", ""},
      {"another writer wins the final write", one, 0, 3, theirs, 0, "",
       "Enabled source list readback differs\n"},
      {"storing the foreign entries fails", full, 3, 0, full, 0, "", ""},
      {"the foreign entries read back differ", full, 0, 3, theirs, 0, "", ""},
      {"a writer during the refresh wait", full, 0, kWait, theirs, 1, "", duringWait},
      {"the write after the refresh fails", full, 5, 0, foreign, 1, refreshed, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Substitutes s;
    s.store.disk = row.initial;
    s.store.failingSync = row.failAt;
    s.store.otherWriter = [&](int n, std::optional<Value>& disk) {
      if (n == row.writeAt) disk = row.stored;
    };
    ON_CALL(s.runLoop, runFor(0.5)).WillByDefault([&](double) {
      if (row.writeAt == kWait) s.store.disk = row.stored;
    });
    EXPECT_CALL(s.notifier, post(kNotification)).Times(row.posts);
    std::filesystem::remove(backup);
    const Outcome outcome = repair(s.services, backup);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(s.store.disk, row.stored);
    EXPECT_EQ(plist::readFile(backup), row.initial);
  }
}

// The real preference store, with another process's writer appending a record
// just before the repair's synchronise number `raceAt` takes the lock.
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
      appended.push_back(elsewhere());
      other.setAppValue(kKey, Value(std::move(appended)), domain);
      EXPECT_TRUE(other.synchronize(domain)) << other.lastFailure();
    }
    return own_.synchronize(domain);
  }
  static Value elsewhere() { return Value(Dictionary{{"InputSourceKind", str("Keyboard Layout")}}); }

 private:
  std::string home_;
  preferences::FilePreferenceStore own_;
  int raceAt_, syncs_ = 0;
};

// A record another process appends between the repair's last read and its write
// is never lost: the write is refused and the run fails without a line.
TEST_F(RepairTest, AnotherWritersAppendIsRefusedNotLost) {
  const struct {
    const char* name;
    Array initial;
    int raceAt;
  } rows[] = {{"appending our records", Array{layout()}, 3},
              {"taking our records out", kFull, 3},
              {"putting them back", kFull, 5}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir home;
    preferences::FilePreferenceStore seed(home.str());
    seed.setAppValue(kKey, Value(row.initial), kDomain);
    ASSERT_TRUE(seed.synchronize(kDomain));
    RacedStore store(home.str(), row.raceAt);
    Substitutes f;
    Services services{store, f.textInput, f.launchServices, f.notifier, f.runLoop, f.application};
    const Outcome outcome = repair(services, home / "backup.plist");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out.find("verified=1"), std::string::npos) << outcome.out;
    const auto stored = preferences::FilePreferenceStore(home.str()).copyAppValue(kKey, kDomain);
    ASSERT_TRUE(stored && stored->asArray() && !stored->asArray()->empty());
    EXPECT_EQ(stored->asArray()->back(), RacedStore::elsewhere());
  }
}

}  // namespace
}  // namespace sonarell::keyloom
