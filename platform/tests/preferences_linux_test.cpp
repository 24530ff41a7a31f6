#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store_linux.h"

namespace sonarell::preferences {
namespace {

namespace stdfs = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;

constexpr const char* kDomain = "com.example.Prefs";

class PreferenceStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = stdfs::temp_directory_path() / "prefs-home-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
  }
  void TearDown() override { stdfs::remove_all(home_); }

  std::string folder() const { return home_ + "/Library/Preferences"; }
  std::string file(const std::string& domain = kDomain) const { return folder() + "/" + domain + ".plist"; }

  void writeRaw(const std::string& bytes, const std::string& domain = kDomain) const {
    stdfs::create_directories(folder());
    std::ofstream out(file(domain), std::ios::binary);
    out << bytes;
  }
  std::string readRaw(const std::string& domain = kDomain) const {
    std::ifstream in(file(domain), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::set<std::string> folderEntries() const {
    std::set<std::string> names;
    for (const auto& entry : stdfs::directory_iterator(folder())) names.insert(entry.path().filename());
    return names;
  }

  std::string home_;
};

TEST_F(PreferenceStoreTest, SetChangesOnlyTheViewUntilSynchronized) {
  FilePreferenceStore writer(home_);
  FilePreferenceStore earlyReader(home_);
  EXPECT_FALSE(earlyReader.copyAppValue("k", kDomain));  // loads the (empty) view now

  writer.setAppValue("k", Value("v1"), kDomain);
  EXPECT_EQ(writer.copyAppValue("k", kDomain), Value("v1"));
  EXPECT_FALSE(FilePreferenceStore(home_).copyAppValue("k", kDomain));
  EXPECT_FALSE(stdfs::exists(file()));

  ASSERT_TRUE(writer.synchronize(kDomain));
  EXPECT_EQ(FilePreferenceStore(home_).copyAppValue("k", kDomain), Value("v1"));
  EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"k", Value("v1")}}));
  // A view already loaded stays as it was until that instance synchronises.
  EXPECT_FALSE(earlyReader.copyAppValue("k", kDomain));
  ASSERT_TRUE(earlyReader.synchronize(kDomain));
  EXPECT_EQ(earlyReader.copyAppValue("k", kDomain), Value("v1"));

  // Domains are separate files.
  EXPECT_FALSE(writer.copyAppValue("k", "com.example.Other"));
}

TEST_F(PreferenceStoreTest, SynchronizeMergesOntoWhatOthersWroteAndNeverUndoesIt) {
  FilePreferenceStore a(home_);
  FilePreferenceStore b(home_);
  EXPECT_FALSE(b.copyAppValue("fromA", kDomain));  // b's view predates a's write

  a.setAppValue("fromA", Value(1), kDomain);
  a.setAppValue("shared", Value("a"), kDomain);
  ASSERT_TRUE(a.synchronize(kDomain));
  b.setAppValue("fromB", Value(2), kDomain);
  ASSERT_TRUE(b.synchronize(kDomain));
  const Value expected = Dictionary{{"fromA", Value(1)}, {"shared", Value("a")}, {"fromB", Value(2)}};
  EXPECT_EQ(plist::readFile(file()), expected);
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
  ASSERT_TRUE(a.synchronize(kDomain));
  a.setAppValue("shared", Value("b"), kDomain);
  ASSERT_TRUE(a.synchronize(kDomain));
  EXPECT_EQ(a.copyAppValue("shared", kDomain), Value("b"));

  // Removal is a pending change like any other, and leaves other keys alone.
  a.setAppValue("shared", std::nullopt, kDomain);
  EXPECT_FALSE(a.copyAppValue("shared", kDomain));
  ASSERT_TRUE(a.synchronize(kDomain));
  EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"fromA", Value(1)}, {"fromB", Value(2)}}));

  // Only the lock file is left beside the domain file: no temporary files.
  EXPECT_EQ(folderEntries(),
            (std::set<std::string>{"com.example.Prefs.plist", ".com.example.Prefs.plist.lock"}));
}

TEST_F(PreferenceStoreTest, TheViewAfterSynchronizeIsWhatTheFileHolds) {
  FilePreferenceStore store(home_);
  store.setAppValue("when", Value(plist::Date{1000}), kDomain);
  store.setAppValue("list", Value(Array{Value(1), Value("x")}), kDomain);
  ASSERT_TRUE(store.synchronize(kDomain));
  const auto onDisk = plist::readFile(file());
  ASSERT_TRUE(onDisk && onDisk->isDictionary());
  EXPECT_EQ(store.copyAppValue("when", kDomain), *onDisk->asDictionary()->find("when"));
  EXPECT_EQ(store.copyAppValue("when", kDomain), Value(plist::Date{1000}));
  EXPECT_EQ(store.copyAppValue("list", kDomain), Value(Array{Value(1), Value("x")}));

  // Another writer editing the file in place, same size, at once: the next
  // synchronise must see it, and a merge must build on it.
  const std::string ab = *plist::toXml(Value(Dictionary{{"k", Value("aaaa")}}));
  const std::string bb = *plist::toXml(Value(Dictionary{{"k", Value("bbbb")}}));
  writeRaw(ab);
  ASSERT_TRUE(store.synchronize(kDomain));
  EXPECT_EQ(store.copyAppValue("k", kDomain), Value("aaaa"));
  writeRaw(bb);
  ASSERT_TRUE(store.synchronize(kDomain));
  EXPECT_EQ(store.copyAppValue("k", kDomain), Value("bbbb"));
  writeRaw(ab);
  store.setAppValue("other", Value(true), kDomain);
  ASSERT_TRUE(store.synchronize(kDomain));
  EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"k", Value("aaaa")}, {"other", Value(true)}}));
}

TEST_F(PreferenceStoreTest, CorruptDomainFilesAreNeverOverwritten) {
  const std::string garbage = "this is \x01\x02 not a property list";
  const std::string arrayXml = *plist::toXml(Value(Array{Value("top level is an array")}));
  for (const std::string& bytes : {garbage, arrayXml}) {
    writeRaw(bytes);
    FilePreferenceStore store(home_);
    EXPECT_FALSE(store.copyAppValue("anything", kDomain));
    EXPECT_FALSE(store.synchronize(kDomain));

    store.setAppValue("k", Value("v"), kDomain);
    EXPECT_FALSE(store.synchronize(kDomain));
    EXPECT_EQ(readRaw(), bytes);
    EXPECT_EQ(folderEntries(),
              (std::set<std::string>{"com.example.Prefs.plist", ".com.example.Prefs.plist.lock"}));

    // The key stays pending after the failure and is stored once the file is sound.
    stdfs::remove(file());
    ASSERT_TRUE(store.synchronize(kDomain));
    EXPECT_EQ(plist::readFile(file()), Value(Dictionary{{"k", Value("v")}}));
    stdfs::remove(file());
  }
}

TEST_F(PreferenceStoreTest, BinaryDomainFilesStayBinary) {
  // {"list": [{"Bundle ID": "com.example.Layout"}], "count": -3, "raw": "bell\a"}
  // as Python's plistlib writes it; XML cannot carry the bell character.
  // clang-format off
  const std::string binary(
      "\x62\x70\x6c\x69\x73\x74\x30\x30\xd3\x01\x02\x03\x04\x08\x09\x54\x6c\x69\x73\x74\x55\x63\x6f\x75\x6e\x74"
      "\x53\x72\x61\x77\xa1\x05\xd1\x06\x07\x59\x42\x75\x6e\x64\x6c\x65\x20\x49\x44\x5f\x10\x12\x63\x6f\x6d\x2e"
      "\x65\x78\x61\x6d\x70\x6c\x65\x2e\x4c\x61\x79\x6f\x75\x74\x13\xff\xff\xff\xff\xff\xff\xff\xfd\x55\x62\x65"
      "\x6c\x6c\x07\x08\x0f\x14\x1a\x1e\x20\x23\x2d\x42\x4b\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00"
      "\x00\x00\x0a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x51",
      123);
  // clang-format on
  writeRaw(binary);

  FilePreferenceStore store(home_);
  EXPECT_EQ(store.copyAppValue("count", kDomain), Value(-3));
  EXPECT_EQ(store.copyAppValue("raw", kDomain), Value("bell\a"));
  store.setAppValue("added", Value(true), kDomain);
  ASSERT_TRUE(store.synchronize(kDomain)) << store.lastFailure();
  EXPECT_EQ(readRaw().rfind("bplist00", 0), 0u);
  const Value expected =
      Dictionary{{"list", Value(Array{Value(Dictionary{{"Bundle ID", Value("com.example.Layout")}})})},
                 {"count", Value(-3)},
                 {"raw", Value("bell\a")},
                 {"added", Value(true)}};
  EXPECT_EQ(plist::readFile(file()), expected);
  EXPECT_EQ(FilePreferenceStore(home_).copyAppValue("raw", kDomain), Value("bell\a"));
}

TEST_F(PreferenceStoreTest, RefusedDomainsAndUnwritableValuesChangeNothing) {
  FilePreferenceStore store(home_);
  for (const std::string& domain :
       std::vector<std::string>{"", ".", "..", "a/b", "../escape", std::string("nul\0x", 5)}) {
    store.setAppValue("k", Value(1), domain);
    EXPECT_FALSE(store.copyAppValue("k", domain)) << domain;
    EXPECT_FALSE(store.synchronize(domain)) << domain;
    EXPECT_FALSE(store.domainFilePath(domain)) << domain;
  }
  EXPECT_FALSE(stdfs::exists(home_ + "/Library"));

  FilePreferenceStore homeless("");
  homeless.setAppValue("k", Value(1), kDomain);
  EXPECT_FALSE(homeless.copyAppValue("k", kDomain));
  EXPECT_FALSE(homeless.synchronize(kDomain));

  // Nothing pending: synchronising reads only and creates no folder.
  EXPECT_TRUE(store.synchronize(kDomain));
  EXPECT_FALSE(stdfs::exists(home_ + "/Library"));

  // A value XML cannot hold fails the write; the old file stays, no temporary file is left.
  store.setAppValue("good", Value("kept"), kDomain);
  ASSERT_TRUE(store.synchronize(kDomain));
  const std::string before = readRaw();
  store.setAppValue("bad", Value("control\x01"), kDomain);
  EXPECT_FALSE(store.synchronize(kDomain));
  EXPECT_EQ(readRaw(), before);
  EXPECT_EQ(folderEntries(),
            (std::set<std::string>{"com.example.Prefs.plist", ".com.example.Prefs.plist.lock"}));
  EXPECT_EQ(store.copyAppValue("good", kDomain), Value("kept"));
}

// Two processes hammering one domain: each synchronise must merge onto the
// other's latest file, under the lock, and never leave a torn file.
TEST_F(PreferenceStoreTest, ConcurrentProcessesLoseNoKeys) {
  constexpr int kKeysPerProcess = 200;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      char byte;
      if (::read(go[0], &byte, 1) != 0) ::_exit(3);  // wait for the parent to close: both start together
      FilePreferenceStore store(home_);
      int failures = 0;
      for (int i = 0; i < kKeysPerProcess; ++i) {
        store.setAppValue("p" + std::to_string(child) + "-" + std::to_string(i), Value(i), kDomain);
        if (!store.synchronize(kDomain)) ++failures;
        // A reader between writes must always see a whole file.
        if (!plist::readFile(file())) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children[child] = pid;
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const auto stored = plist::readFile(file());
  ASSERT_TRUE(stored && stored->isDictionary());
  EXPECT_EQ(stored->asDictionary()->size(), 2u * kKeysPerProcess);
  for (int child = 0; child < 2; ++child) {
    for (int i = 0; i < kKeysPerProcess; ++i) {
      const Value* v = stored->asDictionary()->find("p" + std::to_string(child) + "-" + std::to_string(i));
      ASSERT_NE(v, nullptr) << child << " " << i;
      EXPECT_EQ(*v, Value(i));
    }
  }
}

}  // namespace
}  // namespace sonarell::preferences

namespace sonarell::preferences {
namespace {

TEST_F(PreferenceStoreTest, StoresOfOneProcessNeverShareAStaleParse) {
  FilePreferenceStore writer(home_);
  writer.setAppValue("list", Value(Array{Value("a"), Value("b")}), kDomain);
  writer.setAppValue("keep", Value(1), kDomain);
  ASSERT_TRUE(writer.synchronize(kDomain));

  // A fresh store reads what this process just wrote.
  FilePreferenceStore reader(home_);
  EXPECT_EQ(reader.copyAppValue("list", kDomain), Value(Array{Value("a"), Value("b")}));

  // Another writer changes the file in place: same size, same timestamps, one
  // byte different. Every store, new or old, must see the new value.
  std::string bytes = readRaw();
  const std::size_t at = bytes.find("<string>b</string>");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 8] = 'c';
  struct stat before {};
  ASSERT_EQ(::stat(file().c_str(), &before), 0);
  writeRaw(bytes);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, file().c_str(), times, 0), 0);

  FilePreferenceStore fresh(home_);
  EXPECT_EQ(fresh.copyAppValue("list", kDomain), Value(Array{Value("a"), Value("c")}));
  ASSERT_TRUE(reader.synchronize(kDomain));
  EXPECT_EQ(reader.copyAppValue("list", kDomain), Value(Array{Value("a"), Value("c")}));

  // A corrupt file is not hidden by a sound parse of its earlier bytes.
  writeRaw("<plist><dict><key>list</key>");
  EXPECT_FALSE(reader.synchronize(kDomain));
  EXPECT_FALSE(reader.copyAppValue("list", kDomain));
  EXPECT_FALSE(FilePreferenceStore(home_).copyAppValue("keep", kDomain));

  // Editing a value read from one store changes nothing another store holds.
  writeRaw(*plist::toXml(Value(Dictionary{{"list", Value(Array{Value("x")})}, {"other", Value(2)}})));
  FilePreferenceStore first(home_);
  auto value = first.copyAppValue("list", kDomain);
  ASSERT_TRUE(value && value->asArray());
  value->asArray()->emplace_back("edited");
  EXPECT_EQ(FilePreferenceStore(home_).copyAppValue("list", kDomain), Value(Array{Value("x")}));

  // Replacing and removing keys keeps the others in their order.
  first.setAppValue("list", std::nullopt, kDomain);
  first.setAppValue("new", Value("n"), kDomain);
  first.setAppValue("other", Value(3), kDomain);
  ASSERT_TRUE(first.synchronize(kDomain));
  const auto stored = plist::parse(readRaw());
  ASSERT_TRUE(stored && stored->isDictionary());
  std::string order;
  for (const auto& [key, v] : *stored->asDictionary()) order += key + ",";
  EXPECT_EQ(order, "other,new,");
  EXPECT_EQ(*stored->asDictionary()->find("other"), Value(3));
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
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool stored;
    std::function<void()> check;
  };
  const std::string elsewhere = home_ + "/elsewhere";
  const std::string target = elsewhere + "/real.plist";
  const std::string stale = folder() + "/.com.example.Prefs.plist.Ab3xYz";
  const std::string notOurs = folder() + "/.com.example.Prefs.plist.notes";
  const Case cases[] = {
      {"FIFO: refused at once, never opened for reading or replaced",
       [&] { ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0); }, false,
       [&] { EXPECT_TRUE(stdfs::is_fifo(file())); }},
      {"folder: refused, left alone", [&] { stdfs::create_directories(file()); }, false,
       [&] { EXPECT_TRUE(stdfs::is_directory(file())); }},
      {"link: its target is updated, the link stays",
       [&] {
         stdfs::create_directories(elsewhere);
         std::ofstream(target) << old;
         ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
         stdfs::create_symlink(target, file());
       },
       true,
       [&] {
         EXPECT_TRUE(isLink(file()));
         EXPECT_EQ(plist::readFile(target), merged);
         EXPECT_EQ(modeOf(target), 0640u);
         EXPECT_EQ(std::distance(stdfs::directory_iterator(elsewhere), {}), 2);  // and its lock
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
         if (::geteuid() == 0) {
           ASSERT_EQ(::chown(file().c_str(), 4321, 4321), 0);
         }
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
         if (::geteuid() == 0) {
           EXPECT_EQ(st.st_uid, 4321u);  // only a privileged process can give it away
         }
       }},
      {"temporary file of a killed writer: removed, other files kept",
       [&] {
         writeRaw(old);
         std::ofstream(stale) << "half a domain";
         std::ofstream(notOurs) << "not ours";
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
         EXPECT_EQ(plist::readFile(home_ + "/other-name.plist"), Value(Dictionary{{"old", Value(1)}}));
       }},
  };
  for (const Case& c : cases) {
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
