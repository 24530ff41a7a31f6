#include "platform/fs/paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/scratch.h"

namespace sonarell::fs {
namespace {

using testsupport::ScopedEnv;

TEST(Paths, Utf8ValidationIsStrict) {
  for (const char* valid : {"", "plain ascii", "中文", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF",
                            "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF"}) {
    EXPECT_TRUE(isValidUtf8(valid)) << valid;
  }
  // Overlong forms, surrogates, beyond U+10FFFF, truncated, lone continuation, five bytes.
  for (const std::string bytes : {"\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
                                  "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE4\xB8",
                                  "a\xE4\xB8z", "\x80", "\xFF", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(isValidUtf8(bytes)) << testing::PrintToString(bytes);
    EXPECT_FALSE(standardizePath("/tmp/" + bytes)) << testing::PrintToString(bytes);
  }
  EXPECT_FALSE(standardizePath(std::string("/tmp/a\0b", 8)));
}

TEST(Paths, HomeDirectoryIsANonEmptyHomeOrThePasswordDatabases) {
  const struct passwd* pw = ::getpwuid(::getuid());
  ASSERT_TRUE(pw && pw->pw_dir && *pw->pw_dir);
  for (const char* home : std::initializer_list<const char*>{"/some/where", "", nullptr}) {
    ScopedEnv env("HOME", home);
    EXPECT_EQ(homeDirectory(), home && *home ? home : pw->pw_dir) << (home ? home : "unset");
  }
}

TEST(Paths, StandardizationAndComponentTables) {
  ScopedEnv home("HOME", "/home/user");
  const struct {
    std::string in, out;
  } cases[] = {{"", ""},
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
               {"/a/..b/.c", "/a/..b/.c"}};
  for (const auto& c : cases) EXPECT_EQ(standardizePath(c.in), c.out) << testing::PrintToString(c.in);
  if (const struct passwd* root = ::getpwnam("root"); root && root->pw_dir) {
    EXPECT_EQ(standardizePath("~root/x"), std::string(root->pw_dir) + "/x");
  }
  {
    ScopedEnv trailing("HOME", "/home/user/");
    EXPECT_EQ(standardizePath("~/x"), "/home/user/x");
    EXPECT_EQ(standardizePath("~"), "/home/user");
  }

  const struct {
    std::string path, last, deleting;
  } components[] = {{"/tmp/scratch.tiff", "scratch.tiff", "/tmp"},
                    {"/tmp/lock/", "lock", "/tmp"},
                    {"/tmp/", "tmp", "/"},
                    {"/tmp", "tmp", "/"},
                    {"/", "/", "/"},
                    {"//", "/", "/"},
                    {"scratch.tiff", "scratch.tiff", ""},
                    {"a//b//", "b", "a"},
                    {"", "", ""}};
  for (const auto& c : components) {
    EXPECT_EQ(lastPathComponent(c.path), c.last) << c.path;
    EXPECT_EQ(deletingLastPathComponent(c.path), c.deleting) << c.path;
  }
  const struct {
    std::string path, component, joined;
  } appended[] = {{"/tmp", "x", "/tmp/x"},
                  {"/tmp/", "x", "/tmp/x"},
                  {"/", "x", "/x"},
                  {"", "x", "x"},
                  {"/tmp", "/x/", "/tmp/x"},
                  {"/tmp", "", "/tmp"},
                  {"/home/u", "Library/Input Methods", "/home/u/Library/Input Methods"}};
  for (const auto& c : appended) EXPECT_EQ(appendingPathComponent(c.path, c.component), c.joined) << c.joined;
}

TEST(Paths, SymlinksResolveComponentByComponentAndLoopsGiveTheInputBack) {
  const testsupport::TempDir scratch("paths-links");
  const std::string root = scratch.str();
  testsupport::writeFile(root + "/real/dir/file", "x");
  std::string previous = "real";  // a long but finite chain still resolves
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(::symlink(previous.c_str(), (root + "/chain" + std::to_string(i)).c_str()), 0);
    previous = "chain" + std::to_string(i);
  }
  for (const auto& [name, target] :
       std::vector<std::pair<std::string, std::string>>{{"mid", root + "/real"},
                                                        {"rel", "real/dir"},
                                                        {"linkToLink", "mid"},
                                                        {"up", "real/dir/.."},
                                                        {"dangling", "nothere"},
                                                        {"real/dir/back", "../../real"},
                                                        {"loopA", "loopB"},
                                                        {"loopB", "loopA"},
                                                        {"self", "self"}}) {
    ASSERT_EQ(::symlink(target.c_str(), (root + "/" + name).c_str()), 0) << name;
  }
  const struct {
    std::string in, out;
  } cases[] = {{"/real/dir/file", "/real/dir/file"},  // absolute and relative targets, links to links
               {"/mid/dir/file", "/real/dir/file"},
               {"/rel/file", "/real/dir/file"},
               {"/linkToLink/dir", "/real/dir"},
               {"/up", "/real"},
               {"/dangling", "/nothere"},
               {"/real/dir/back/dir", "/real/dir"},  // relative to the link's own folder
               {"/mid/missing/more/", "/real/missing/more"},
               {"//mid/./dir/", "/real/dir"},  // standardised as well as resolved
               {"/loopA/x/", "/loopA/x"},
               {"/self", "/self"},
               {"/chain29/dir", "/real/dir"}};
  for (const auto& c : cases) EXPECT_EQ(resolveSymlinks(root + c.in), root + c.out) << c.in;
  EXPECT_EQ(resolveSymlinks("/"), "/");
}

}  // namespace
}  // namespace sonarell::fs
