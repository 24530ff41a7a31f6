#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store_linux.h"
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
  void writeRaw(const std::string& bytes) const { testsupport::writeFile(file(), bytes); }
  std::string readRaw() const { return testsupport::readFile(file()); }

  testsupport::TempDir scratch_{"prefs-home"};
  const std::string home_ = scratch_.str();
};

TEST_F(PreferenceStoreTest, ViewsChangeOnlyThroughSetAndSynchronizeAndFollowTheFile) {
  FilePreferenceStore writer(home_), early(home_);
  EXPECT_FALSE(early.copyAppValue("when", kDomain));  // loads the (empty) view now
  writer.setAppValue("when", Value(plist::Date{1000}), kDomain);
  writer.setAppValue("list", Value(Array{Value("a"), Value("b")}), kDomain);
  EXPECT_EQ(writer.copyAppValue("when", kDomain), Value(plist::Date{1000}));
  EXPECT_FALSE(FilePreferenceStore(home_).copyAppValue("when", kDomain));
  EXPECT_FALSE(stdfs::exists(file()));

  ASSERT_TRUE(writer.synchronize(kDomain));
  const Value list = Array{Value("a"), Value("b")};
  EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"when", Value(plist::Date{1000})}, {"list", list}}));
  EXPECT_EQ(FilePreferenceStore(home_).copyAppValue("list", kDomain), list);
  // A view already loaded stays as it was until that instance synchronises.
  EXPECT_FALSE(early.copyAppValue("when", kDomain));
  ASSERT_TRUE(early.synchronize(kDomain));
  EXPECT_EQ(early.copyAppValue("when", kDomain), Value(plist::Date{1000}));
  EXPECT_FALSE(writer.copyAppValue("when", "com.example.Other"));  // domains are separate files

  // Another writer changes the file in place: same size, same timestamps, one
  // byte different. Every store, new or old, must see it, and a merge build on it.
  std::string bytes = readRaw();
  bytes[bytes.find("<string>b</string>") + 8] = 'c';
  struct stat before {};
  ASSERT_EQ(::stat(file().c_str(), &before), 0);
  writeRaw(bytes);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, file().c_str(), times, 0), 0);
  const Value changed = Array{Value("a"), Value("c")};
  EXPECT_EQ(FilePreferenceStore(home_).copyAppValue("list", kDomain), changed);
  ASSERT_TRUE(early.synchronize(kDomain));
  EXPECT_EQ(early.copyAppValue("list", kDomain), changed);
  writer.setAppValue("other", Value(true), kDomain);
  ASSERT_TRUE(writer.synchronize(kDomain));
  EXPECT_EQ(writer.copyAppValue("list", kDomain), changed);

  // Replacing and removing keys keeps the others in their order.
  writer.setAppValue("when", std::nullopt, kDomain);
  writer.setAppValue("new", Value("n"), kDomain);
  writer.setAppValue("list", Value(3), kDomain);
  ASSERT_TRUE(writer.synchronize(kDomain));
  std::string order;
  const auto stored = plist::parse(readRaw());
  for (const auto& [key, v] : *stored->asDictionary()) order += key + ",";
  EXPECT_EQ(order, "list,other,new,");

  // A corrupt file is not hidden by a sound parse of its earlier bytes.
  writeRaw("<plist><dict><key>list</key>");
  EXPECT_FALSE(early.synchronize(kDomain));
  EXPECT_FALSE(early.copyAppValue("list", kDomain));
  EXPECT_FALSE(FilePreferenceStore(home_).copyAppValue("other", kDomain));
}

TEST_F(PreferenceStoreTest, SynchronizeMergesOntoWhatOthersWroteAndNeverUndoesIt) {
  FilePreferenceStore a(home_), b(home_);
  EXPECT_FALSE(b.copyAppValue("fromA", kDomain));  // b's view predates a's write

  a.setAppValue("fromA", Value(1), kDomain);
  a.setAppValue("shared", Value("a"), kDomain);
  ASSERT_TRUE(a.synchronize(kDomain));
  b.setAppValue("fromB", Value(2), kDomain);
  ASSERT_TRUE(b.synchronize(kDomain));
  EXPECT_EQ(plist::readFile(file()),
            Value(Dictionary{{"fromA", Value(1)}, {"shared", Value("a")}, {"fromB", Value(2)}}));
  EXPECT_EQ(b.copyAppValue("fromA", kDomain), Value(1));  // reloaded from disk

  // Two writers of one key: b sets it from a view that predates a's second change,
  // so storing b's value would silently undo a's. b fails, writing nothing, and
  // keeps failing; a writer that has seen the change may replace it.
  a.setAppValue("shared", Value("a2"), kDomain);
  b.setAppValue("shared", Value("b"), kDomain);
  b.setAppValue("fromB", Value(3), kDomain);
  ASSERT_TRUE(a.synchronize(kDomain));
  const std::string afterA = readRaw();
  EXPECT_FALSE(b.synchronize(kDomain));
  EXPECT_NE(b.lastFailure().find("shared"), std::string::npos) << b.lastFailure();
  EXPECT_FALSE(b.synchronize(kDomain));
  EXPECT_EQ(readRaw(), afterA);
  EXPECT_EQ(b.copyAppValue("shared", kDomain), Value("b"));  // still pending in b's view
  a.setAppValue("shared", Value("b"), kDomain);
  ASSERT_TRUE(a.synchronize(kDomain));
  EXPECT_EQ(a.copyAppValue("shared", kDomain), Value("b"));

  // Removal is a pending change like any other, and leaves other keys alone.
  a.setAppValue("shared", std::nullopt, kDomain);
  EXPECT_FALSE(a.copyAppValue("shared", kDomain));
  ASSERT_TRUE(a.synchronize(kDomain));
  EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"fromA", Value(1)}, {"fromB", Value(2)}}));
  EXPECT_EQ(testsupport::namesIn(folder()), kDomainAndLock);
}

TEST_F(PreferenceStoreTest, WhatCannotBeStoredAsItIsChangesNothing) {
  // Corrupt domain files are never overwritten; the key stays pending and is
  // stored once the file is sound.
  for (const std::string& bytes : {std::string("this is \x01\x02 not a property list"),
                                   *plist::toXml(Value(Array{Value("top level is an array")}))}) {
    writeRaw(bytes);
    FilePreferenceStore store(home_);
    EXPECT_FALSE(store.copyAppValue("anything", kDomain));
    EXPECT_FALSE(store.synchronize(kDomain));
    store.setAppValue("k", Value("v"), kDomain);
    EXPECT_FALSE(store.synchronize(kDomain));
    EXPECT_EQ(readRaw(), bytes);
    EXPECT_EQ(testsupport::namesIn(folder()), kDomainAndLock);
    stdfs::remove(file());
    ASSERT_TRUE(store.synchronize(kDomain));
    EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"k", Value("v")}}));
  }
  stdfs::remove_all(home_ + "/Library");

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
  EXPECT_EQ(testsupport::namesIn(folder()), kDomainAndLock);
}

TEST_F(PreferenceStoreTest, BinaryDomainFilesStayBinary) {
  const Dictionary original{{"list", Value(Array{Value(Dictionary{{"Bundle ID", Value("com.example.L")}})})},
                            {"raw", Value("bell\a")}};  // XML cannot carry the bell character
  writeRaw(*plist::serialize(Value(original), plist::Format::kBinary));
  FilePreferenceStore store(home_);
  EXPECT_EQ(store.copyAppValue("raw", kDomain), Value("bell\a"));
  store.setAppValue("added", Value(true), kDomain);
  ASSERT_TRUE(store.synchronize(kDomain)) << store.lastFailure();
  EXPECT_EQ(readRaw().rfind("bplist00", 0), 0u);
  Dictionary expected = original;
  expected.set("added", Value(true));
  EXPECT_EQ(plist::readFile(file()), Value(expected));
}

// Two processes hammering one domain: each synchronise must merge onto the
// other's latest file, under the lock, and never leave a torn file.
TEST_F(PreferenceStoreTest, ConcurrentProcessesLoseNoKeys) {
  constexpr int kKeys = 200;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = ::fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      ::close(go[1]);
      char byte;
      if (::read(go[0], &byte, 1) != 0) ::_exit(3);  // wait for the parent to close: both start together
      FilePreferenceStore store(home_);
      int failures = 0;
      for (int i = 0; i < kKeys; ++i) {
        store.setAppValue("p" + std::to_string(child) + "-" + std::to_string(i), Value(i), kDomain);
        failures += !store.synchronize(kDomain) + !plist::readFile(file());  // a reader sees a whole file
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  Dictionary expected;
  for (int child = 0; child < 2; ++child) {
    for (int i = 0; i < kKeys; ++i) expected.set("p" + std::to_string(child) + "-" + std::to_string(i), i);
  }
  EXPECT_EQ(plist::readFile(file()), Value(expected));
}

// What is at the domain path is the user's: each case prepares it, sets a key,
// synchronises and checks what became of it.
TEST_F(PreferenceStoreTest, TheDomainFileIsHandledAsTheUsersFile) {
  const std::string old = *plist::toXml(Value(Dictionary{{"old", Value(1)}}));
  const Value merged = Dictionary{{"old", Value(1)}, {"k", Value("v")}};
  const auto isLink = [](const std::string& path) { return stdfs::is_symlink(stdfs::symlink_status(path)); };
  const auto modeOf = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  const bool root = ::geteuid() == 0;  // only a privileged process can give a file away
  const std::string elsewhere = home_ + "/elsewhere", target = elsewhere + "/real.plist";
  const std::string stale = folder() + "/.com.example.Prefs.plist.Ab3xYz";
  const std::string notOurs = folder() + "/.com.example.Prefs.plist.notes";
  const struct {
    const char* name;
    std::function<void()> prepare;
    bool stored;
    std::function<void()> check;
  } cases[] = {
      {"FIFO: refused at once, never opened for reading or replaced",
       [&] { ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0); }, false,
       [&] { EXPECT_TRUE(stdfs::is_fifo(file())); }},
      {"folder: refused, left alone", [&] { stdfs::create_directories(file()); }, false,
       [&] { EXPECT_TRUE(stdfs::is_directory(file())); }},
      {"link: its target is updated, the link stays",
       [&] {
         testsupport::writeFile(target, old);
         ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
         stdfs::create_symlink(target, file());
       },
       true,
       [&] {
         EXPECT_TRUE(isLink(file()));
         EXPECT_EQ(plist::readFile(target), merged);
         EXPECT_EQ(modeOf(target), 0640u);
         EXPECT_EQ(testsupport::namesIn(elsewhere),
                   (std::vector<std::string>{".real.plist.lock", "real.plist"}));
       }},
      {"dangling link: refused, nothing created",
       [&] { stdfs::create_symlink(elsewhere + "/missing.plist", file()); }, false,
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
       true,
       [&] {
         EXPECT_EQ(plist::readFile(file()), merged);
         EXPECT_EQ(modeOf(file()), 0444u);
         char value[8] = {};
         EXPECT_EQ(::getxattr(file().c_str(), "user.sonarell.tag", value, sizeof value), 4);
         EXPECT_STREQ(value, "kept");
         struct stat st {};
         ASSERT_EQ(::stat(file().c_str(), &st), 0);
         EXPECT_EQ(st.st_uid, root ? 4321u : ::getuid());
       }},
      {"temporary file of a killed writer: removed, other files kept",
       [&] {
         writeRaw(old);
         testsupport::writeFile(stale, "half a domain");
         testsupport::writeFile(notOurs, "not ours");
       },
       true,
       [&] {
         EXPECT_FALSE(stdfs::exists(stale));
         EXPECT_TRUE(stdfs::exists(notOurs));
         EXPECT_EQ(plist::readFile(file()), merged);
       }},
      {"hard link: the domain is replaced atomically, the other name keeps the old bytes",
       [&] {
         writeRaw(old);
         stdfs::create_hard_link(file(), home_ + "/other-name.plist");
       },
       true,
       [&] {
         EXPECT_EQ(plist::readFile(file()), merged);
         EXPECT_EQ(testsupport::readFile(home_ + "/other-name.plist"), old);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stdfs::remove_all(home_ + "/Library");
    stdfs::remove_all(elsewhere);
    stdfs::create_directories(folder());
    c.prepare();
    FilePreferenceStore store(home_);
    store.setAppValue("k", Value("v"), kDomain);
    EXPECT_EQ(store.synchronize(kDomain), c.stored) << store.lastFailure();
    if (!c.stored) {
      EXPECT_FALSE(store.lastFailure().empty());
      EXPECT_FALSE(FilePreferenceStore(home_).copyAppValue("old", kDomain));
    }
    c.check();
  }
}

}  // namespace
}  // namespace sonarell::preferences
