#include "platform/fs/paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scratch.h"

namespace sonarell::fs {
namespace {

namespace stdfs = std::filesystem;

// Sets or clears $HOME for the life of the object.
struct ScopedHome : testsupport::ScopedEnv {
  explicit ScopedHome(const char* value) : ScopedEnv("HOME", value) {}
};

std::string passwdHome() {
  struct passwd* pw = ::getpwuid(::getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

TEST(Paths, Utf8ValidationIsStrict) {
  for (const char* valid : {"", "plain ascii", "中文", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF",
                            "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF"}) {
    EXPECT_TRUE(isValidUtf8(valid)) << valid;
  }
  const std::vector<std::string> invalid = {
      "\xC0\xAF",          // overlong "/"
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong three-byte
      "\xF0\x80\x80\xAF",  // overlong four-byte
      "\xED\xA0\x80",      // high surrogate
      "\xED\xBF\xBF",      // low surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",
      "\xE4\xB8",    // truncated at the end
      "a\xE4\xB8z",  // truncated in the middle
      "\x80",        // lone continuation
      "\xFF",
      "\xF8\x88\x80\x80\x80",  // five-byte form
  };
  for (const auto& bytes : invalid) {
    EXPECT_FALSE(isValidUtf8(bytes)) << testing::PrintToString(bytes);
    EXPECT_FALSE(standardizePath("/tmp/" + bytes)) << testing::PrintToString(bytes);
  }
  EXPECT_FALSE(standardizePath(std::string("/tmp/a\0b", 8)));
}

TEST(Paths, HomeDirectoryPrefersANonEmptyHome) {
  {
    ScopedHome home("/some/where");
    EXPECT_EQ(homeDirectory(), "/some/where");
  }
  {
    ScopedHome home("");
    EXPECT_EQ(homeDirectory(), passwdHome());
  }
  {
    ScopedHome home(nullptr);
    EXPECT_EQ(homeDirectory(), passwdHome());
    EXPECT_FALSE(homeDirectory().empty());
  }
}

TEST(Paths, StandardizationTable) {
  ScopedHome home("/home/user");
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"/", "/"},
      {"//", "/"},
      {"/a//b/", "/a/b"},
      {"/a/./b/.", "/a/b"},
      {"/a/b/../c", "/a/c"},
      {"/..", "/"},
      {"/../a", "/a"},
      {"/a/../..", "/"},
      {"/a/b/c/../../d", "/a/d"},
      {"a/b/..", "a"},
      {"./a", "a"},
      {".", "."},
      {"a/..", "."},
      {"../a", "../a"},
      {"a/../../b", "../b"},
      {"../../a/./b/", "../../a/b"},
      {"~", "/home/user"},
      {"~/", "/home/user"},
      {"~/Library//Input Methods/Sonarell.app/Contents/",
       "/home/user/Library/Input Methods/Sonarell.app/Contents"},
      {"~/x/../y", "/home/user/y"},
      {"~/..", "/home"},
      {"~nosuchuser-sonarell/a", "~nosuchuser-sonarell/a"},
      {"a~/b", "a~/b"},
      {"/a/~/b", "/a/~/b"},
      {"/tmp/中 文/line\nbreak/", "/tmp/中 文/line\nbreak"},
      {"/a/.../b", "/a/.../b"},
      {"/a/..b/.c", "/a/..b/.c"},
  };
  for (const auto& c : cases) {
    const auto result = standardizePath(c.in);
    ASSERT_TRUE(result) << c.in;
    EXPECT_EQ(*result, c.out) << "input: " << testing::PrintToString(c.in);
  }
  if (struct passwd* root = ::getpwnam("root"); root && root->pw_dir) {
    EXPECT_EQ(*standardizePath("~root/x"), std::string(root->pw_dir) + "/x");
  }
  {
    ScopedHome trailing("/home/user/");
    EXPECT_EQ(*standardizePath("~/x"), "/home/user/x");
    EXPECT_EQ(*standardizePath("~"), "/home/user");
  }
}

TEST(Paths, ComponentHelpers) {
  struct Case {
    std::string path, last, deleting;
  };
  const std::vector<Case> cases = {
      {"/tmp/scratch.tiff", "scratch.tiff", "/tmp"},
      {"/tmp/lock/", "lock", "/tmp"},
      {"/tmp/", "tmp", "/"},
      {"/tmp", "tmp", "/"},
      {"/a", "a", "/"},
      {"/", "/", "/"},
      {"//", "/", "/"},
      {"scratch.tiff", "scratch.tiff", ""},
      {"a/b", "b", "a"},
      {"a//b//", "b", "a"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lastPathComponent(c.path), c.last) << c.path;
    EXPECT_EQ(deletingLastPathComponent(c.path), c.deleting) << c.path;
  }
  EXPECT_EQ(appendingPathComponent("/tmp", "x"), "/tmp/x");
  EXPECT_EQ(appendingPathComponent("/tmp/", "x"), "/tmp/x");
  EXPECT_EQ(appendingPathComponent("/", "x"), "/x");
  EXPECT_EQ(appendingPathComponent("", "x"), "x");
  EXPECT_EQ(appendingPathComponent("/tmp", "/x/"), "/tmp/x");
  EXPECT_EQ(appendingPathComponent("/home/u", "Library/Input Methods/Sonarell.app/Contents"),
            "/home/u/Library/Input Methods/Sonarell.app/Contents");
  EXPECT_EQ(appendingPathComponent("/tmp", ""), "/tmp");
}

class SymlinkTree : public testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(root_ + "/real/dir");
    testsupport::writeFile(root_ + "/real/dir/file", "x");
  }
  void link(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (root_ + "/" + name).c_str()), 0) << name;
  }
  testsupport::TempDir scratch_{"paths-links"};
  const std::string root_ = scratch_.str();
};

TEST_F(SymlinkTree, ResolvesLinksComponentByComponent) {
  link(root_ + "/real", "mid");  // absolute target
  link("real/dir", "rel");       // relative target
  link("mid", "linkToLink");
  link("real/dir/..", "up");
  link("nothere", "dangling");
  link("../../real", "real/dir/back");  // relative to the link's own folder

  EXPECT_EQ(resolveSymlinks(root_ + "/real/dir/file"), root_ + "/real/dir/file");
  EXPECT_EQ(resolveSymlinks(root_ + "/mid/dir/file"), root_ + "/real/dir/file");
  EXPECT_EQ(resolveSymlinks(root_ + "/rel/file"), root_ + "/real/dir/file");
  EXPECT_EQ(resolveSymlinks(root_ + "/linkToLink/dir"), root_ + "/real/dir");
  EXPECT_EQ(resolveSymlinks(root_ + "/up"), root_ + "/real");
  EXPECT_EQ(resolveSymlinks(root_ + "/dangling"), root_ + "/nothere");
  EXPECT_EQ(resolveSymlinks(root_ + "/real/dir/back/dir"), root_ + "/real/dir");
  EXPECT_EQ(resolveSymlinks(root_ + "/mid/missing/more/"), root_ + "/real/missing/more");
  // Standardised as well as resolved.
  EXPECT_EQ(resolveSymlinks(root_ + "//mid/./dir/"), root_ + "/real/dir");
  EXPECT_EQ(resolveSymlinks("/"), "/");
}

TEST_F(SymlinkTree, LoopsGiveTheStandardisedInputBack) {
  link("loopB", "loopA");
  link("loopA", "loopB");
  link("self", "self");
  EXPECT_EQ(resolveSymlinks(root_ + "/loopA/x/"), root_ + "/loopA/x");
  EXPECT_EQ(resolveSymlinks(root_ + "/self"), root_ + "/self");

  // A long but finite chain still resolves.
  std::string previous = "real";
  for (int i = 0; i < 30; ++i) {
    const std::string name = "chain" + std::to_string(i);
    link(previous, name);
    previous = name;
  }
  EXPECT_EQ(resolveSymlinks(root_ + "/" + previous + "/dir"), root_ + "/real/dir");
}

}  // namespace
}  // namespace sonarell::fs
