#include "platform/fs/paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "tests/support/scratch.h"

namespace sonarell::fs {
namespace {

using test::ScopedEnv;

TEST(Paths, Utf8ValidationIsStrict) {
  for (const char* valid : {"", "plain ascii", "中文", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF",
                            "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF"})
    EXPECT_TRUE(isValidUtf8(valid)) << valid;
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

// "a → b → c" as {"a", "b", "c"}: the tables below are written as such rows.
std::vector<std::string> columns(const std::string& row) {
  std::vector<std::string> out;
  for (std::size_t at = 0, next;; at = next + 5) {
    next = row.find(" → ", at);
    out.push_back(row.substr(at, next - at));
    if (next == std::string::npos) return out;
  }
}

TEST(Paths, StandardizationAndComponentTables) {
  for (const char* home : {"/home/user", "/home/user/"}) {  // a trailing slash in HOME adds none
    ScopedEnv env("HOME", home);
    for (const auto& group : std::vector<std::vector<std::string>>{
             {" → ", "/ → /", "// → /", "/a//b/ → /a/b", "/a/./b/. → /a/b", "/a/b/../c → /a/c", "/.. → /",
              "/../a → /a", "/a/../.. → /", "/a/b/c/../../d → /a/d", "/a/.../b → /a/.../b",
              "/a/..b/.c → /a/..b/.c"},
             {"a/b/.. → a", "./a → a", ". → .", "a/.. → .", "../a → ../a", "a/../../b → ../b",
              "../../a/./b/ → ../../a/b", "/tmp/中 文/line\nbreak/ → /tmp/中 文/line\nbreak"},
             {"~ → /home/user", "~/ → /home/user", "~/x/../y → /home/user/y", "~/.. → /home", "a~/b → a~/b",
              "/a/~/b → /a/~/b", "~nosuchuser-sonarell/a → ~nosuchuser-sonarell/a",
              "~/Library//Input Methods/Sonarell.app/Contents/ → /home/user/Library/Input "
              "Methods/Sonarell.app/Contents"}}) {
      for (const std::string& row : group)
        EXPECT_EQ(standardizePath(columns(row)[0]), columns(row)[1]) << row;
    }
  }
  if (const struct passwd* root = ::getpwnam("root"); root && root->pw_dir) {
    EXPECT_EQ(standardizePath("~root/x"), std::string(root->pw_dir) + "/x");
  }
  // Path → last component → the path without it.
  for (const std::string row : {"/tmp/scratch.tiff → scratch.tiff → /tmp", "/tmp/lock/ → lock → /tmp",
                                "/tmp/ → tmp → /", "/tmp → tmp → /", "/ → / → /", "// → / → /",
                                "scratch.tiff → scratch.tiff → ", "a//b// → b → a", " →  → "}) {
    EXPECT_EQ(lastPathComponent(columns(row)[0]), columns(row)[1]) << row;
    EXPECT_EQ(deletingLastPathComponent(columns(row)[0]), columns(row)[2]) << row;
  }
  // Path → component → both joined.
  for (const std::string row :
       {"/tmp → x → /tmp/x", "/tmp/ → x → /tmp/x", "/ → x → /x", " → x → x", "/tmp → /x/ → /tmp/x",
        "/tmp →  → /tmp", "/home/u → Library/Input Methods → /home/u/Library/Input Methods"})
    EXPECT_EQ(appendingPathComponent(columns(row)[0], columns(row)[1]), columns(row)[2]) << row;
}

TEST(Paths, SymlinksResolveComponentByComponentAndLoopsGiveTheInputBack) {
  const test::TempDir scratch("paths-links");
  const std::string root = scratch.str();
  test::writeFile(root + "/real/dir/file", "x");
  std::string previous = "real";  // a long but finite chain still resolves
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(::symlink(previous.c_str(), (root + "/chain" + std::to_string(i)).c_str()), 0);
    previous = "chain" + std::to_string(i);
  }
  // Link → target: absolute and relative targets, links to links, one relative to the link's own folder,
  // loops.
  for (const std::string& row :
       std::vector<std::string>{"mid → " + root + "/real", "rel → real/dir", "linkToLink → mid",
                                "up → real/dir/..", "dangling → nothere", "real/dir/back → ../../real",
                                "loopA → loopB", "loopB → loopA", "self → self"})
    ASSERT_EQ(::symlink(columns(row)[1].c_str(), (root + "/" + columns(row)[0]).c_str()), 0) << row;
  // Path → resolved and standardised; a loop gives the standardised input back.
  for (const std::string row :
       {"/real/dir/file → /real/dir/file", "/mid/dir/file → /real/dir/file", "/rel/file → /real/dir/file",
        "/linkToLink/dir → /real/dir", "/up → /real", "/dangling → /nothere",
        "/real/dir/back/dir → /real/dir", "/mid/missing/more/ → /real/missing/more",
        "//mid/./dir/ → /real/dir", "/loopA/x/ → /loopA/x", "/self → /self", "/chain29/dir → /real/dir"})
    EXPECT_EQ(resolveSymlinks(root + columns(row)[0]), root + columns(row)[1]) << row;
  EXPECT_EQ(resolveSymlinks("/"), "/");
}

}  // namespace
}  // namespace sonarell::fs
