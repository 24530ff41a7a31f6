#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store.h"

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

TEST_F(PreferenceStoreTest, SynchronizeMergesOntoWhatOthersWrote) {
  FilePreferenceStore a(home_);
  FilePreferenceStore b(home_);
  EXPECT_FALSE(b.copyAppValue("fromA", kDomain));  // b's view predates a's write

  a.setAppValue("fromA", Value(1), kDomain);
  a.setAppValue("shared", Value("a"), kDomain);
  ASSERT_TRUE(a.synchronize(kDomain));
  b.setAppValue("fromB", Value(2), kDomain);
  b.setAppValue("shared", Value("b"), kDomain);
  ASSERT_TRUE(b.synchronize(kDomain));

  const Value expected = Dictionary{{"fromA", Value(1)}, {"shared", Value("b")}, {"fromB", Value(2)}};
  EXPECT_EQ(plist::readFile(file()), expected);
  EXPECT_EQ(b.copyAppValue("fromA", kDomain), Value(1));  // reloaded from disk
  ASSERT_TRUE(a.synchronize(kDomain));
  EXPECT_EQ(a.copyAppValue("fromB", kDomain), Value(2));
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

  // A folder where the domain file should be is no domain either.
  stdfs::create_directories(file());
  FilePreferenceStore store(home_);
  store.setAppValue("k", Value("v"), kDomain);
  EXPECT_FALSE(store.synchronize(kDomain));
  EXPECT_TRUE(stdfs::is_directory(file()));
}

TEST_F(PreferenceStoreTest, BinaryDomainFilesAreReadAndRewrittenAsXml) {
  const std::string xml = *plist::toXml(Value(Dictionary{
      {"list", Value(Array{Value(Dictionary{{"Bundle ID", Value("com.example.Layout")}})})},
      {"count", Value(-3)},
  }));
  const std::string binary = *plist::serialize(*plist::parse(xml), plist::Format::kBinary);
  ASSERT_EQ(binary.rfind("bplist00", 0), 0u);
  writeRaw(binary);

  FilePreferenceStore store(home_);
  EXPECT_EQ(store.copyAppValue("count", kDomain), Value(-3));
  store.setAppValue("added", Value(true), kDomain);
  ASSERT_TRUE(store.synchronize(kDomain));
  EXPECT_EQ(readRaw().rfind("<?xml", 0), 0u);
  const auto stored = plist::readFile(file());
  ASSERT_TRUE(stored && stored->isDictionary());
  EXPECT_EQ(*stored->asDictionary()->find("list"), *plist::parse(xml)->asDictionary()->find("list"));
  EXPECT_EQ(*stored->asDictionary()->find("added"), Value(true));
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

}  // namespace
}  // namespace sonarell::preferences
