#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "platform/fs/unique_fd.h"
#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/scratch.h"

namespace sonarell::preferences {
namespace {

namespace stdfs = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;

constexpr const char* kDomain = "com.example.Prefs";
// What a domain's folder holds after any synchronise: no temporary file.
const std::vector<std::string> kDomainAndLock{".com.example.Prefs.plist.lock", "com.example.Prefs.plist"};

class PreferenceStoreTest : public testing::Test {
 protected:
  std::string folder() const { return home_ + "/Library/Preferences"; }
  std::string file() const { return folder() + "/" + kDomain + ".plist"; }
  void writeRaw(const std::string& bytes) const { test::writeFile(file(), bytes); }
  std::string readRaw() const { return test::readFile(file()); }
  void fresh(bool old) const {
    stdfs::remove_all(home_ + "/Library");
    stdfs::create_directories(folder());
    if (old) writeRaw(*plist::toXml(Value(Dictionary{{"old", Value(1)}})));
  }

  test::TempDir scratch_{"prefs-home"};
  const std::string home_ = scratch_.str();
};

TEST_F(PreferenceStoreTest, ViewsChangeOnlySynchronizeMergesAndNeverUndoesAnotherWritersChange) {
  FilePreferenceStore a(home_), b(home_);
  EXPECT_FALSE(b.copyAppValue("fromA", kDomain));  // b's view is loaded now, before a writes
  const Value list = Array{Value("a"), Value("b")};
  a.setAppValue("fromA", Value(plist::Date{1000}), kDomain);
  a.setAppValue("shared", list, kDomain);
  EXPECT_EQ(a.copyAppValue("fromA", kDomain), Value(plist::Date{1000}));  // the setter's view only,
  EXPECT_FALSE(stdfs::exists(file()));                                    // until it synchronises
  ASSERT_TRUE(a.synchronize(kDomain));
  EXPECT_EQ(FilePreferenceStore(home_).copyAppValue("shared", kDomain), list);
  EXPECT_FALSE(b.copyAppValue("fromA", kDomain));  // a loaded view stays until its own synchronise,
  b.setAppValue("fromB", Value(2), kDomain);
  ASSERT_TRUE(b.synchronize(kDomain));  // which merges onto the file as it is now and reloads
  EXPECT_EQ(plist::readFile(file()),
            Value(Dictionary{{"fromA", Value(plist::Date{1000})}, {"shared", list}, {"fromB", Value(2)}}));
  EXPECT_EQ(b.copyAppValue("fromA", kDomain), Value(plist::Date{1000}));
  EXPECT_FALSE(b.copyAppValue("fromA", "com.example.Other"));  // domains are separate files

  // Another writer changes one byte in place, same size and timestamps: every store, new or old, sees it.
  std::string bytes = readRaw();
  bytes[bytes.find("<string>b</string>") + 8] = 'c';
  struct stat before {};
  ASSERT_EQ(::stat(file().c_str(), &before), 0);
  writeRaw(bytes);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, file().c_str(), times, 0), 0);
  const Value changed = Array{Value("a"), Value("c")};
  EXPECT_EQ(FilePreferenceStore(home_).copyAppValue("shared", kDomain), changed);
  ASSERT_TRUE(b.synchronize(kDomain));
  EXPECT_EQ(b.copyAppValue("shared", kDomain), changed);

  // a's view predates the change, so storing a's value would silently undo it: a fails, writing nothing, and
  // keeps failing; b, which has seen the change, may replace it.
  a.setAppValue("shared", Value("a2"), kDomain);
  a.setAppValue("fromA", Value(3), kDomain);
  EXPECT_FALSE(a.synchronize(kDomain));
  EXPECT_NE(a.lastFailure().find("shared"), std::string::npos) << a.lastFailure();
  EXPECT_FALSE(a.synchronize(kDomain));
  EXPECT_EQ(readRaw(), bytes);
  EXPECT_EQ(a.copyAppValue("shared", kDomain), Value("a2"));  // still pending in a's view
  b.setAppValue("shared", Value("b"), kDomain);
  ASSERT_TRUE(b.synchronize(kDomain));

  // Replacing and removing keys (a pending change like any other) keeps the others in their order.
  b.setAppValue("fromA", std::nullopt, kDomain);
  EXPECT_FALSE(b.copyAppValue("fromA", kDomain));
  b.setAppValue("new", Value("n"), kDomain);
  b.setAppValue("fromB", Value(3), kDomain);
  ASSERT_TRUE(b.synchronize(kDomain));
  const auto stored = plist::readFile(file());
  EXPECT_EQ(stored, Value(Dictionary{{"shared", Value("b")}, {"fromB", Value(3)}, {"new", Value("n")}}));
  std::string order;
  for (const auto& [key, v] : *stored->asDictionary()) order += key + ",";
  EXPECT_EQ(order, "shared,fromB,new,");
  EXPECT_EQ(test::namesIn(folder()), kDomainAndLock);
}

TEST_F(PreferenceStoreTest, RefusedDomainsAndValuesChangeNothing) {
  FilePreferenceStore store(home_), homeless("");
  homeless.setAppValue("k", Value(1), kDomain);
  EXPECT_FALSE(homeless.copyAppValue("k", kDomain));
  EXPECT_FALSE(homeless.synchronize(kDomain));
  for (const std::string& domain :
       std::vector<std::string>{"", ".", "..", "a/b", "../escape", {"nul\0x", 5}}) {
    store.setAppValue("k", Value(1), domain);
    EXPECT_FALSE(store.copyAppValue("k", domain)) << domain;
    EXPECT_FALSE(store.synchronize(domain)) << domain;
    EXPECT_FALSE(store.domainFilePath(domain)) << domain;
  }
  // Nothing pending: synchronising reads only and creates no folder.
  EXPECT_TRUE(store.synchronize(kDomain));
  EXPECT_FALSE(stdfs::exists(home_ + "/Library"));

  // A value XML cannot hold fails the write; the old file stays.
  store.setAppValue("good", Value("kept"), kDomain);
  ASSERT_TRUE(store.synchronize(kDomain));
  const std::string before = readRaw();
  store.setAppValue("bad", Value("control\x01"), kDomain);
  EXPECT_FALSE(store.synchronize(kDomain));
  EXPECT_FALSE(store.lastFailure().empty());
  EXPECT_EQ(readRaw(), before);
}

// A writer that ignores the lock replaces the file right before the store does: its change is merged (or, on
// a key this store changes, fails it), never lost; nor is a file that appears where there was none replaced.
TEST_F(PreferenceStoreTest, AChangeRightBeforeTheReplacementIsNeverLost) {
  const Dictionary theirs{{"old", 1}, {"theirs", 2}}, ourKey{{"old", 1}, {"k", "theirs"}};
  const struct {
    const char* name;
    bool fileBefore;
    int spoiled;                        // how many of the store's attempts the other writer spoils
    std::optional<Dictionary> renamed;  // what it puts in place by a rename; none: it edits in place
    bool stored;
    Dictionary left;
    int looks;  // how often the store got as far as its last look
  } rows[] = {
      {"another key added", true, 1, theirs, true, {{"old", 1}, {"theirs", 2}, {"k", "v"}}, 2},
      {"a file where none was", false, 1, Dictionary{{"theirs", 2}}, true, {{"theirs", 2}, {"k", "v"}}, 2},
      {"changed in place, same size", true, 1, std::nullopt, true, {{"old", 7}, {"k", "v"}}, 2},
      {"our own key changed: refused on the fresh read", true, 1, ourKey, false, ourKey, 1},
      {"changed before every attempt", true, 100, theirs, false, theirs, 5},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fresh(row.fileBefore);
    FilePreferenceStore store(home_);
    store.setAppValue("k", Value("v"), kDomain);
    int looks = 0;
    store.setBeforeReplace([&] {
      if (looks++ >= row.spoiled) return;
      if (!row.renamed) {
        std::string bytes = readRaw();
        bytes[bytes.find("<integer>1<") + 9] = '7';
        return writeRaw(bytes);
      }
      test::writeFile(home_ + "/elsewhere.plist", *plist::toXml(Value(*row.renamed)));
      stdfs::rename(home_ + "/elsewhere.plist", file());
    });
    EXPECT_EQ(store.synchronize(kDomain), row.stored) << store.lastFailure();
    EXPECT_EQ(plist::readFile(file()), row.left);
    EXPECT_EQ(looks, row.looks);
    EXPECT_EQ(store.lastFailure().empty(), row.stored);
    EXPECT_EQ(test::namesIn(folder()), kDomainAndLock);
  }
}

// Another writer holding the domain's lock costs a bounded wait and a reason; a read-only lock file serves;
// anything else there is refused, named. Temporaries are swept only under the lock (one may be the holder's).
// Rows run as an ordinary user (a root test process drops to nobody in a child), so that file modes count.
TEST_F(PreferenceStoreTest, TheDomainsLockIsWaitedForBoundedlyAndNeverInTheWay) {
  using namespace std::chrono_literals;
  const std::string lock = folder() + "/.com.example.Prefs.plist.lock";
  const bool root = ::geteuid() == 0;
  using test::kNobody;
  const struct {
    char lock;  // held by another writer, readable and not writable, a folder, a link to a file, a FIFO
    const char* failure;  // none: stored
  } rows[] = {{'h', "another process held the domain's lock "},
              {'r', nullptr},
              {'d', " is a folder"},
              {'l', " is a symbolic link"},
              {'p', " is not a regular file"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lock);
    fresh(true);
    test::writeFile(home_ + "/elsewhere", "");
    // Its form is the store's own: the holder's file in the making, or a killed writer's leftover.
    const std::string temporary = folder() + "/.com.example.Prefs.plist.sonarell-store-Ab3xYz";
    test::writeFile(temporary, "half a domain");
    for (const auto& path : {home_, home_ + "/Library", folder(), file()})
      ASSERT_EQ(root ? ::chown(path.c_str(), kNobody, kNobody) : 0, 0);
    if (row.lock == 'r') {
      test::writeFile(lock, "");
      ASSERT_EQ(::chmod(lock.c_str(), 0444) | (root ? ::chown(lock.c_str(), 0, 0) : 0), 0);
    }
    if (row.lock == 'd') stdfs::create_directory(lock);
    if (row.lock == 'l') stdfs::create_symlink(home_ + "/elsewhere", lock);
    ASSERT_TRUE(row.lock != 'p' || (::mkfifo(lock.c_str(), 0600) | ::chmod(lock.c_str(), 0666)) == 0);
    const bool held = row.lock == 'h';
    fs::UniqueFd holder;
    if (held) {
      holder = fs::UniqueFd(::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
      ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
      ASSERT_EQ(root ? ::fchown(holder.get(), kNobody, kNobody) : 0, 0);  // usable as it is: only held
    }
    const auto started = std::chrono::steady_clock::now();
    test::asOrdinaryUser([&] {
      FilePreferenceStore store(home_, 200ms);
      store.setAppValue("k", Value("v"), kDomain);
      EXPECT_EQ(store.synchronize(kDomain), !row.failure);
      const std::string failure = store.lastFailure();
      EXPECT_TRUE(!row.failure || failure.find(row.failure) != std::string::npos) << failure;
      EXPECT_TRUE(!row.failure || failure.find(lock) != std::string::npos) << failure;
      // The wait given, not the default ten seconds, bounds it (the reason says how long).
      EXPECT_EQ(held, failure.find(" for more than 0.2 seconds") != std::string::npos) << failure;
    });
    EXPECT_GE(std::chrono::steady_clock::now() - started, held ? 200ms : 0ms);
    // Swept only under the lock.
    EXPECT_EQ(stdfs::exists(temporary), row.failure != nullptr);
    const Dictionary old{{"old", Value(1)}}, merged{{"old", Value(1)}, {"k", Value("v")}};
    EXPECT_EQ(plist::readFile(file()), Value(row.failure ? old : merged));
  }
}

// What is at the domain path is the user's.
TEST_F(PreferenceStoreTest, TheDomainFileIsHandledAsTheUsersFile) {
  const std::string old = *plist::toXml(Value(Dictionary{{"old", Value(1)}}));
  const Value merged = Dictionary{{"old", Value(1)}, {"k", Value("v")}};
  const auto isLink = [](const std::string& path) { return stdfs::is_symlink(stdfs::symlink_status(path)); };
  const auto statOf = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st : decltype(st){};
  };
  const bool root = ::geteuid() == 0;  // only a privileged process can give a file away
  const std::string elsewhere = home_ + "/elsewhere", target = elsewhere + "/real.plist";
  // Names only like the store's, and things that are no regular file: never swept.
  const std::vector<std::string> notOurs{".com.example.Prefs.plist.backup", ".com.example.Prefs.plist.before",
                                         ".com.example.Prefs.plist.notes", ".com.example.Prefs.plist.Ab3xYz",
                                         ".com.example.Prefs.plist.sonarell-store-Ab3xY"};
  const std::vector<std::string> notFiles{".com.example.Prefs.plist.sonarell-store-folder",
                                          ".com.example.Prefs.plist.sonarell-store-link00"};
  const std::string garbage = "this is \x01\x02 not a property list";
  const std::string array = *plist::toXml(Value(Array{Value("top level is an array")}));
  // XML cannot carry the bell character.
  const std::string binary =
      *plist::serialize(Value(Dictionary{{"old", Value("bell\a")}}), plist::Format::Binary);
  const char* const kNoDictionary = "the domain file is not a property-list dictionary";
  const char* const kNoFile = "the domain file is not a regular file";
  const struct {
    const char* name;
    std::function<void()> prepare;
    const char* refusal;  // none: stored
    std::function<void()> check;
    Value stored{};  // what the domain holds then
  } cases[] = {
      {"no property list: never overwritten", [&] { writeRaw(garbage); }, kNoDictionary,
       [&] { EXPECT_EQ(readRaw(), garbage); }},
      {"no dictionary: never overwritten", [&] { writeRaw(array); }, kNoDictionary,
       [&] { EXPECT_EQ(readRaw(), array); }},
      {"binary: stays binary", [&] { writeRaw(binary); }, nullptr,
       [&] { EXPECT_EQ(readRaw().rfind("bplist00", 0), 0u); },
       Dictionary{{"old", Value("bell\a")}, {"k", Value("v")}}},
      {"empty file (what a crash or a full disk leaves): an empty domain, replaced keeping its mode",
       [&] {
         writeRaw("");
         ASSERT_EQ(::chmod(file().c_str(), 0640), 0);
       },
       nullptr,
       [&] {
         EXPECT_EQ(readRaw().rfind("<?xml", 0), 0u);
         EXPECT_EQ(statOf(file()).st_mode & 07777, 0640u);
       },
       Dictionary{{"k", Value("v")}}},
      {"FIFO: refused at once, never opened for reading or replaced",
       [&] { ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0); }, kNoFile,
       [&] { EXPECT_TRUE(stdfs::is_fifo(file())); }},
      {"folder: refused, left alone", [&] { stdfs::create_directories(file()); }, kNoFile,
       [&] { EXPECT_TRUE(stdfs::is_directory(file())); }},
      {"link: its target is updated, the link stays, the sweep takes only the store's own files beside it",
       [&] {
         test::writeFile(target, old);
         ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
         stdfs::create_symlink(target, file());
         test::writeFile(elsewhere + "/.real.plist.backup", "the user's");
         test::writeFile(elsewhere + "/.real.plist.sonarell-store-Zz9Zz9", "half a domain");
       },
       nullptr,
       [&] {
         EXPECT_TRUE(isLink(file()));
         EXPECT_EQ(statOf(target).st_mode & 07777, 0640u);
         EXPECT_EQ(test::namesIn(elsewhere),
                   (std::vector<std::string>{".real.plist.backup", ".real.plist.lock", "real.plist"}));
       },
       merged},
      {"dangling link: refused, nothing created",
       [&] { stdfs::create_symlink(elsewhere + "/missing.plist", file()); },
       "the domain file is a symbolic link to nothing",
       [&] {
         EXPECT_TRUE(isLink(file()));
         EXPECT_FALSE(stdfs::exists(elsewhere));
       }},
      {"read-only file with an extended attribute and another owner: all kept",
       [&] {
         writeRaw(old);
         ASSERT_EQ(::setxattr(file().c_str(), "user.sonarell.tag", "kept", 4, 0), 0);
         ASSERT_EQ(::chmod(file().c_str(), 0444), 0);
         ASSERT_EQ(root ? ::chown(file().c_str(), 4321, 4321) : 0, 0);
       },
       nullptr,
       [&] {
         EXPECT_EQ(statOf(file()).st_mode & 07777, 0444u);
         char value[8] = {};
         EXPECT_EQ(::getxattr(file().c_str(), "user.sonarell.tag", value, sizeof value), 4);
         EXPECT_STREQ(value, "kept");
         EXPECT_EQ(statOf(file()).st_uid, root ? 4321u : ::getuid());
       },
       merged},
      {"names only like the store's temporaries, and what is no regular file: never swept",
       [&] {
         writeRaw(old);
         for (const auto& name : notOurs) test::writeFile(folder() + "/" + name, "not ours");
         stdfs::create_directory(folder() + "/" + notFiles[0]);
         stdfs::create_symlink(file(), folder() + "/" + notFiles[1]);
       },
       nullptr,
       [&] {
         for (const auto& name : notOurs)
           EXPECT_EQ(test::readFile(folder() + "/" + name), "not ours") << name;
         for (const auto& name : notFiles)
           EXPECT_TRUE(stdfs::exists(stdfs::symlink_status(folder() + "/" + name)));
       },
       merged},
      {"hard link: the domain is replaced atomically, the other name keeps the old bytes",
       [&] {
         writeRaw(old);
         stdfs::create_hard_link(file(), home_ + "/other-name.plist");
       },
       nullptr, [&] { EXPECT_EQ(test::readFile(home_ + "/other-name.plist"), old); }, merged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stdfs::remove_all(elsewhere);
    fresh(false);
    c.prepare();
    FilePreferenceStore store(home_);
    store.setAppValue("k", Value("v"), kDomain);
    EXPECT_EQ(store.synchronize(kDomain), !c.refusal) << store.lastFailure();
    c.check();
    if (!c.refusal) {
      EXPECT_EQ(plist::readFile(file()), c.stored);
      continue;
    }
    EXPECT_EQ(store.lastFailure(), c.refusal);
    EXPECT_FALSE(FilePreferenceStore(home_).copyAppValue("old", kDomain));
    // The key stays pending, and is stored once the file is out of the way.
    stdfs::remove_all(file());
    ASSERT_TRUE(store.synchronize(kDomain)) << store.lastFailure();
    EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"k", Value("v")}}));
  }
}

}  // namespace
}  // namespace sonarell::preferences
