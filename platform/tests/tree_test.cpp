// Trees compared, copied and moved. Every test body runs as an ordinary user (a root test process drops to
// nobody in a child), so that file modes count.

#include "platform/fs/tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs/unique_fd.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/scratch.h"

namespace sonarell::fs {
namespace {

namespace stdfs = std::filesystem;
using test::asOrdinaryUser;
using test::kNobody;

// A scratch folder the ordinary user owns (under `base`: the temporary folder by default).
struct Scratch {
  explicit Scratch(const stdfs::path& base = {}) : dir("tree-test", base) {
    if (::geteuid() == 0 && ::chown(dir.str().c_str(), kNobody, kNobody) != 0)
      throw std::runtime_error("chown");
  }
  test::TempDir dir;
  std::string operator/(const std::string& name) const { return dir.str() + "/" + name; }
};

void makeTree(const std::string& root) {
  test::writeFile(root + "/Contents/Info.plist", "info");
  test::writeFile(root + "/Contents/Resources/a.strings", "a");
  std::string big(200000, 'b');
  test::writeFile(root + "/Contents/Resources/big", big);
  stdfs::create_directory(root + "/Contents/Empty");
  stdfs::create_symlink("a.strings", root + "/Contents/Resources/link");
  test::writeFile(root + "/line\nbreak", "x");
}

void setMode(const std::string& path, mode_t mode) { ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path; }

TEST(TreeTest, TheFirstDifferenceIsNamedAndEqualTreesHaveNone) {
  Scratch scratch;
  asOrdinaryUser([&] {
    const std::string a = scratch / "a", b = scratch / "b";
    makeTree(a);
    // What is put at a path in the copy: a file with the text ('f'), a folder ('d'), a link to the text
    // ('l'), a FIFO ('p'), nothing ('-'); or the file made unreadable ('0').
    const struct {
      const char* path;
      char kind;
      std::string text, difference;
    } rows[] = {
        {"", '=', "", ""},
        {"Contents/Resources/a.strings", 'f', "b", "Contents/Resources/a.strings: the bytes differ"},
        {"Contents/Info.plist", 'f', "info2", "Contents/Info.plist: the bytes differ"},
        {"Contents/Resources/big", 'f', std::string(199999, 'b') + "c",
         "Contents/Resources/big: the bytes differ"},
        {"Contents/Resources/link", 'l', "a.stringz", "Contents/Resources/link: the link texts differ"},
        {"Contents/Info.plist", 'd', "", "Contents/Info.plist: a regular file in one, a folder in the other"},
        {"Contents/Resources/link", 'f', "a",
         "Contents/Resources/link: a symbolic link in one, a regular file in the other"},
        {"Contents/Info.plist", 'p', "", "a FIFO at Contents/Info.plist in " + b},
        {"line\nbreak", '-', "", "line\\nbreak: only in " + a},
        {"Contents/extra", 'f', "", "Contents/extra: only in " + b},
        {"Contents/Resources/a.strings", '-', "", "Contents/Resources/a.strings: only in " + a},
        {"Contents/Info.plist", '0', "",
         "Contents/Info.plist in " + b + " cannot be read (Permission denied)"},
    };
    for (const auto& row : rows) {
      SCOPED_TRACE(row.difference);
      stdfs::remove_all(b);
      test::copyTree(a, b);
      const std::string at = b + "/" + row.path;
      if (row.kind != '=' && row.kind != '0') stdfs::remove(at);
      if (row.kind == 'f') test::writeFile(at, row.text);
      if (row.kind == 'd') stdfs::create_directory(at);
      if (row.kind == 'l') stdfs::create_symlink(row.text, at);
      ASSERT_TRUE(row.kind != 'p' || ::mkfifo(at.c_str(), 0600) == 0);
      if (row.kind == '0') setMode(at, 0);
      EXPECT_EQ(treeDifference(a, b).value_or(""), row.difference);
    }
    // The roots are followed when they are links.
    stdfs::remove_all(b);
    test::copyTree(a, b);
    stdfs::create_directory_symlink(b, scratch / "link");
    EXPECT_EQ(treeDifference(scratch / "link", a), std::nullopt);
  });
}

void makeReadOnlyTree(const std::string& root) {
  makeTree(root);
  test::writeFile(root + "/Contents/ReadOnly/r", "r");
  setMode(root + "/Contents/Info.plist", 0640);
  const struct timespec times[2] = {{1000000000, 0}, {1000000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (root + "/Contents/Info.plist").c_str(), times, 0), 0);
  for (const char* file : {"/Contents/ReadOnly/r", "/Contents/Resources/a.strings"})
    setMode(root + file, 0444);
  for (const char* folder : {"/Contents/ReadOnly", "/Contents", ""}) setMode(root + folder, 0555);
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(TreeTest, CopiesKeepTheTreeAndTheModesOrLeaveNothing) {
  Scratch scratch;
  asOrdinaryUser([&] {
    const std::string from = scratch / "from", to = scratch / "to";
    makeReadOnlyTree(from);
    const struct {
      CopyModes modes;
      mode_t top, folder, readOnly, file, ownMode;
    } rows[] = {{CopyModes::Keep, 0755, 0555, 0444, 0444, 0640},
                {CopyModes::OwnerWritable, 0755, 0755, 0644, 0644, 0640}};
    for (const auto& row : rows) {
      SCOPED_TRACE(row.modes == CopyModes::Keep ? "keep" : "owner writable");
      const Outcome copied = copyTree(from, to, row.modes);
      ASSERT_TRUE(copied.ok()) << copied.error().reason;
      EXPECT_TRUE(test::sameTree(from, to));  // links copied as links
      EXPECT_EQ(
          (std::vector{modeOf(to), modeOf(to + "/Contents/ReadOnly"), modeOf(to + "/Contents/ReadOnly/r"),
                       modeOf(to + "/Contents/Resources/a.strings"), modeOf(to + "/Contents/Info.plist")}),
          (std::vector{row.top, row.folder, row.readOnly, row.file, row.ownMode}));
      struct stat st {};
      ASSERT_EQ(::stat((to + "/Contents/Info.plist").c_str(), &st), 0);
      EXPECT_EQ(std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec), std::pair(1000000000L, 123456789L));
      const Outcome removed = removeTree(to);
      EXPECT_TRUE(removed.ok()) << removed.error().reason;
      EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(to)));
    }

    // Something at the destination stays as it was; a FIFO in the source leaves nothing.
    test::writeFile(to, "precious");
    const Outcome taken = copyTree(from, to, CopyModes::Keep);
    EXPECT_FALSE(taken.ok());
    EXPECT_EQ(test::readFile(to), "precious");
    stdfs::remove(to);
    setMode(from, 0755);
    setMode(from + "/Contents", 0755);
    ASSERT_EQ(::mkfifo((from + "/Contents/pipe").c_str(), 0600), 0);
    const Outcome fifo = copyTree(from, to, CopyModes::Keep);
    ASSERT_FALSE(fifo.ok());
    EXPECT_NE(fifo.error().reason.find("Contents/pipe: it is a FIFO"), std::string::npos)
        << fifo.error().reason;
    EXPECT_EQ(test::namesIn(scratch.dir.path()), std::vector<std::string>{"from"});
  });
}

// Within one file system and across two (disk and /dev/shm): whole, read-only folders included, or nothing.
TEST(TreeTest, MovesArriveWholeOrChangeNothing) {
  Scratch disk, memory("/dev/shm");
  struct stat a = {}, b = {};
  ASSERT_EQ(::stat(disk.dir.str().c_str(), &a) | ::stat(memory.dir.str().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system as the temporary folder";
  asOrdinaryUser([&] {
    for (const Scratch* source : {&disk, &memory}) {
      SCOPED_TRACE(source == &disk ? "one file system" : "two file systems");
      const std::string from = *source / "src/Sonarell.app", to = disk / "dst/Sonarell.app";
      const std::string fromFolder = *source / "src", toFolder = disk / "dst";
      makeReadOnlyTree(from);
      const auto before = test::snapshot(from);

      test::writeFile(to, "precious");
      const Result<MovedTree> taken = moveTree(from, to);
      EXPECT_FALSE(taken.ok());
      EXPECT_EQ(test::readFile(to), "precious");
      EXPECT_EQ(test::snapshot(from), before);
      stdfs::remove(to);

      // An unreadable file fails the copy between file systems; within one it moves along.
      setMode(from + "/Contents", 0755);
      setMode(from + "/Contents/Info.plist", 0);
      const Result<MovedTree> unreadable = moveTree(from, to);
      setMode(source == &disk ? to + "/Contents/Info.plist" : from + "/Contents/Info.plist", 0644);
      if (source == &memory) {
        ASSERT_FALSE(unreadable.ok());
        EXPECT_NE(unreadable.error().reason.find("Permission denied"), std::string::npos);
        EXPECT_EQ(test::namesIn(toFolder), std::vector<std::string>{});
        EXPECT_EQ(test::snapshot(from), before);
      } else {
        ASSERT_TRUE(unreadable.ok()) << unreadable.error().reason;
        ASSERT_EQ(::rename(to.c_str(), from.c_str()), 0);
      }
      setMode(from + "/Contents", 0555);

      const Result<MovedTree> moved = moveTree(from, to);
      ASSERT_TRUE(moved.ok()) << moved.error().reason;
      EXPECT_EQ(moved.value().leftover, std::nullopt);
      EXPECT_EQ(test::snapshot(to), before);
      EXPECT_EQ(modeOf(to + "/Contents/ReadOnly"), 0555u);
      EXPECT_EQ(test::namesIn(toFolder), std::vector<std::string>{"Sonarell.app"});
      EXPECT_EQ(test::namesIn(fromFolder), std::vector<std::string>{});
      EXPECT_TRUE(removeTree(toFolder).ok());
    }
  });
}

// Folders `depth` deep named `name`, a file at the bottom; through descriptors, past any path limit.
void makeChain(const std::string& root, int depth, const std::string& name, const std::string& bottom) {
  stdfs::create_directory(root);
  UniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < depth && dir; ++i) {
    ASSERT_EQ(::mkdirat(dir.get(), name.c_str(), 0755), 0);
    dir = UniqueFd(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  const UniqueFd file(::openat(dir.get(), "bottom", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  ASSERT_TRUE(file && writeAll(file.get(), bottom));
}

TEST(TreeTest, PathsLongerThanThePathLimitWorkAndDepthIsBounded) {
  Scratch scratch;
  asOrdinaryUser([&] {
    const std::string name(100, 'n'), a = scratch / "a", b = scratch / "b", copy = scratch / "copy";
    makeChain(a, 200, name, "x");  // a path of 20,200 bytes
    makeChain(b, 200, name, "y");
    const Outcome copied = copyTree(a, copy, CopyModes::Keep);
    EXPECT_TRUE(copied.ok()) << copied.error().reason;
    EXPECT_EQ(treeDifference(copy, a), std::nullopt);
    const std::string difference = treeDifference(a, b).value_or("");
    EXPECT_TRUE(difference.ends_with(name + "/bottom: the bytes differ") && difference.size() > 20000);
    for (const std::string& tree : {a, b, copy}) EXPECT_TRUE(removeTree(tree).ok());

    makeChain(a, kMaxTreeDepth + 1, "d", "x");
    EXPECT_NE(treeDifference(a, a).value_or("").find("more than 256 folders deep"), std::string::npos);
    EXPECT_FALSE(copyTree(a, copy, CopyModes::Keep).ok());
    EXPECT_EQ(test::namesIn(scratch.dir.path()), std::vector<std::string>{"a"});
  });
}

}  // namespace
}  // namespace sonarell::fs
