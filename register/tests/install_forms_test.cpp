// The forms that carry the install script's file work, and the names of backups.

#include "register/install_forms.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "platform/plist/codec.h"
#include "register/backups.h"
#include "register/tests/support.h"
#include "tests/support/spawn.h"

namespace sonarell::keyloom {
namespace {

using namespace test;

using namespace std::chrono_literals;
const std::chrono::system_clock::time_point kNow = std::chrono::sys_days(2026y / 3 / 4) + 5h + 6min + 7s;
const std::string kStamp = "20260304T050607Z";

// Every field a name gives, and the order of names: the earlier script's by stamp then n, before all new
// ones, which follow their numbers whatever their stamps say (a clock set back, another time zone). Then how
// new ones are made.
TEST(KeyloomBackupNames, ParsedOrderedAndNumbered) {
  // Versions may hold "-": read from the end.
  const std::optional<BackupName> earlier = ParseBackupName("Sonarell-2.0-rc-1-20260301-235959-10.app");
  const std::optional<BackupName> list =
      ParseBackupName("AppleEnabledInputSources-20260101T120000Z-12.plist");
  ASSERT_TRUE(earlier && list);
  EXPECT_EQ(std::tie(earlier->kind, earlier->sequenced, earlier->version, earlier->stamp, earlier->number),
            std::tuple(BackupKind::Bundle, false, "2.0-rc-1", "20260301235959", std::uint64_t{10}));
  EXPECT_EQ(std::tie(list->kind, list->sequenced, list->version, list->stamp, list->number),
            std::tuple(BackupKind::EnabledList, true, "", "20260101120000", std::uint64_t{12}));
  for (const char* malformed :
       {"Sonarell-20260101-120000.app", "Sonarell-1.0-20260101-120000-1.app",
        "Sonarell-1.0-20260101-120000-02.app", "Sonarell-1.0-20261301-120000.app",
        "Sonarell-1.0-20260101T120000-3.app", "Sonarell-1.0-20260101T120000Z.app",
        "Sonarell-1.0-20260101T120000Z-3.app.zip", ".Sonarell-1.0-20260101T120000Z-3.app",
        "AppleEnabledInputSources-x-20260101T120000Z-1.plist",
        "AppleEnabledInputSources-20260101T120000Z-1.app",
        "Sonarell-1.0-20260101T120000Z-1234567890123456789.app"}) {
    EXPECT_FALSE(ParseBackupName(malformed)) << malformed;
  }

  const std::vector<std::string> made = {
      "Sonarell-1.0-20250101-090000.app",    "Sonarell-1.0-20250101-090000-2.app",
      "Sonarell-1.0-20250101-090000-10.app", "Sonarell-2.0-rc-1-20260301-235959.app",
      "Sonarell-2-0-20240101T000000Z-1.app", "Sonarell-1.0-20270101T000000Z-2.app",
      "Sonarell-1.0-20260101T120000Z-3.app", "Sonarell-x-20260101T120000Z-10.app",
  };
  ASSERT_TRUE(std::all_of(made.begin(), made.end(), [](auto& name) { return ParseBackupName(name); }));
  std::vector<std::string> shuffled = made;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  std::sort(shuffled.begin(), shuffled.end(), [](const std::string& a, const std::string& b) {
    return MadeBefore(*ParseBackupName(a), *ParseBackupName(b));
  });
  EXPECT_EQ(shuffled, made);

  // A new number is above every number in the folder, hidden copies and list backups included; the stamp is
  // UTC whatever the process's time zone.
  const struct {
    std::vector<std::string> entries;
    std::optional<std::uint64_t> next;
  } rows[] = {
      {{}, 1},
      {{"Sonarell-1.0-20250101-090000-7.app", "notes-99.txt",
        "AppleEnabledInputSources-20260101T120000Z-4.plist"},
       5},
      {{"Sonarell-1.0-20260101T120000Z-3.app", ".Sonarell-1.0-20260101T120000Z-9.app.sonarell-copy-Ab12Cd"},
       10},
      {{".AppleEnabledInputSources-20260101T120000Z-11.plist.keyloom-abc123", "x.keyloom-abc123"}, 12},
      {{"AppleEnabledInputSources-20260101T120000Z-999999999999999999.plist"}, std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(NextSequenceNumber(row.entries), row.next);

  ScopedEnv zone("TZ", "NPT-5:45");
  ::tzset();
  EXPECT_EQ(UtcStamp(kNow + 999ms), kStamp);
  EXPECT_EQ(FileNameSafeVersion(std::string(100, 'a')), std::string(64, 'a'));
}

// The version from an Info.plist in any layout or form, or "unknown".
TEST(KeyloomForms, BundleVersion) {
  TempDir dir;
  const auto info = [&](const std::string& app, const std::string& bytes) {
    writeFile(dir / app / "Contents/Info.plist", bytes);
    return (dir / app).string();
  };
  const std::map<std::string, std::string> rows = {
      {info("OneLine.app",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>9</string>"
            "<key>CFBundleShortVersionString</key><string>2.1 (beta)</string></dict></plist>"),
       "2.1__beta_"},
      {info("Broken.app", "<plist><dict><key>CFBundleShortVersionString</key><string>1"), "unknown"},
  };
  for (const auto& [app, version] : rows) {
    Substitutes s;
    EXPECT_EQ(dispatch(s, {"--bundle-version", app}), (Outcome{0, version + "\n", ""})) << app;
  }
}

struct KeyloomFolders : ::testing::Test {
  TempDir dir;
  const std::string im = dir / "Input Methods", bk = dir / "Backups";
  void SetUp() override {
    fsys::create_directories(im);
    fsys::create_directories(bk);
  }
  void bundle(const std::string& path, const std::string& version, const std::string& extra = "") {
    sonarell::test::makeBundle(path, std::string(BundleID), version);
    writeFile(path + "/Contents/Resources/extra", extra);
  }
  Outcome run(const std::function<int(Streams)>& form) { return captured(form); }
};

// The newest real bundle folder among the backups, passing over one that holds what is installed.
TEST_F(KeyloomFolders, NewestBackupSkipsLinksHalfBundlesAndTheInstalledTree) {
  const std::string installed = im + "/Sonarell.app";
  bundle(installed, "1.1");
  bundle(bk + "/Sonarell-0.9-20250101-090000.app", "0.9");
  bundle(bk + "/Sonarell-1.0-20260101T120000Z-1.app", "1.0");
  sonarell::test::copyTree(installed, bk + "/Sonarell-1.1-20250101T120000Z-2.app");
  fsys::create_directory_symlink(installed, bk + "/Sonarell-1.2-20260101T120000Z-3.app");
  bundle(dir / "Elsewhere.app", "1.4");
  fsys::create_directories(bk + "/Sonarell-1.4-20260101T120000Z-5.app");
  fsys::create_directory_symlink(dir / "Elsewhere.app/Contents",
                                 bk + "/Sonarell-1.4-20260101T120000Z-5.app/Contents");
  bundle(bk + "/Sonarell-1.6-20260101T120000Z-7.app.zip", "1.6");

  const std::string none = "There is no backup of Sonarell in ";
  const struct {
    std::string folder;
    std::optional<std::string> installed;
    Outcome outcome;
  } rows[] = {
      {bk, std::nullopt, {0, bk + "/Sonarell-1.1-20250101T120000Z-2.app\n", ""}},
      {bk, installed, {0, bk + "/Sonarell-1.0-20260101T120000Z-1.app\n", ""}},
      {bk, im + "/Missing.app", {0, bk + "/Sonarell-1.1-20250101T120000Z-2.app\n", ""}},
      {im, std::nullopt, {1, "", none + im + " to restore\n"}},
      {dir / "Missing", std::nullopt, {1, "", none + (dir / "Missing").string() + " to restore\n"}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args{"--newest-backup", row.folder};
    if (row.installed) args.push_back(*row.installed);
    Substitutes s;
    EXPECT_EQ(dispatch(s, args), row.outcome) << row.folder;
  }
}

// Only what interrupted runs leave goes; a list backup in a holder of the earlier script is kept under a name
// of its own; everything else stays.
TEST_F(KeyloomFolders, SweepRemovesOnlyLeftovers) {
  const std::string listXml = *plist::toXml(Value(Array{layout()}));
  const std::string heldA = "AppleEnabledInputSources-20250101-090000.plist";
  const std::string heldB = "AppleEnabledInputSources-20250101-090500.plist";
  const std::string heldC = "AppleEnabledInputSources-20250102-090000.plist";
  const std::vector<std::string> leftovers = {
      im + "/.Sonarell-staging.Ab12Cd",
      im + "/.Sonarell.app.sonarell-old-Zz9Yy8",
      bk + "/.AppleEnabledInputSources-20260101T120000Z-4.plist.keyloom-Ab12Cd",
      bk + "/.Sonarell-1.0-20260101T120000Z-3.app.sonarell-copy-Ab12Cd",
      bk + "/.Sonarell-pending-" + heldA,
      bk + "/.Sonarell-pending-" + heldB,
      bk + "/.Sonarell-pending-" + heldC,
      bk + "/.Sonarell-pending-Sonarell-1.0-20250101-090000.app",
  };
  bundle(leftovers[0] + "/Sonarell.app", "2.0");
  bundle(leftovers[1], "1.0");
  writeFile(leftovers[2], "<?xml");
  bundle(leftovers[3], "1.0");
  writeFile(leftovers[4] + "/" + heldA, listXml);
  writeFile(leftovers[5] + "/" + heldB, listXml.substr(0, listXml.size() / 2));  // never finished
  writeFile(leftovers[6] + "/" + heldC, listXml);
  bundle(leftovers[7] + "/Sonarell-1.0-20250101-090000.app", "1.0");
  // The user's and the finished runs' own.
  bundle(im + "/Sonarell.app", "2.0");
  writeFile(im + "/.Sonarell-stagingX", "mine");
  writeFile(im + "/.DS_Store", "mine");
  writeFile(bk + "/.notes.txt.keyloom-Ab12Cd", "mine");
  writeFile(bk + "/.Sonarell-1.0-20260101T120000Z-3.app.sonarell-copy-Ab12C", "mine");
  writeFile(bk + "/" + heldC, "an earlier copy");
  bundle(bk + "/Sonarell-1.0-20260101T120000Z-2.app", "1.0");
  auto before = snapshot(dir.path());

  std::string out;
  for (const std::string& path : leftovers) {
    if (path == leftovers[4])
      out += "Keeping the backup of the enabled input sources at " + bk + "/" + heldA + "\n";
    if (path == leftovers[6]) {
      out += "Keeping the backup of the enabled input sources at " + bk + "/AppleEnabledInputSources-" +
             kStamp + "-3.plist\n";
    }
    out += "Removing what an interrupted earlier run left, " + path + ": done\n";
  }
  EXPECT_EQ(run([&](Streams st) { return Sweep(im, bk, kNow, st); }), (Outcome{0, out, ""}));

  std::erase_if(before, [&](const auto& entry) {
    const std::string path = dir / entry.first;
    return std::any_of(leftovers.begin(), leftovers.end(),
                       [&](const std::string& l) { return path == l || path.starts_with(l + "/"); });
  });
  before["Backups/" + heldA] = before["Backups/AppleEnabledInputSources-" + kStamp + "-3.plist"] =
      "file:" + listXml;
  EXPECT_EQ(snapshot(dir.path()), before);
  // A second sweep finds nothing; folders that are not there are nothing to sweep.
  EXPECT_EQ(run([&](Streams st) { return Sweep(im, bk, kNow, st); }), (Outcome{0, "", ""}));
  EXPECT_EQ(run([&](Streams st) { return Sweep(dir / "None", dir / "Neither", kNow, st); }),
            (Outcome{0, "", ""}));
}

// Backups under new names, whole or absent; the list backup's name is new too.
TEST_F(KeyloomFolders, BackUpMoveAndNameBackups) {
  const std::string installed = im + "/Sonarell.app";
  bundle(installed, "1.0 b", "resource");
  fsys::permissions(installed + "/Contents/Resources/extra", fsys::perms::owner_read);
  writeFile(bk + "/AppleEnabledInputSources-20260101T120000Z-4.plist", "list");
  const std::string first = bk + "/Sonarell-1.0_b-" + kStamp + "-5.app";
  const std::string second = bk + "/Sonarell-1.0_b-" + kStamp + "-6.app";

  EXPECT_EQ(run([&](Streams st) { return BackUp(installed, bk, kNow, st); }), (Outcome{0, first + "\n", ""}));
  EXPECT_EQ(fsys::status(first + "/Contents/Resources/extra").permissions(), fsys::perms::owner_read);
  EXPECT_EQ(run([&](Streams st) { return MoveToBackups(installed, bk, kNow, st); }),
            (Outcome{0, second + "\n", ""}));
  EXPECT_FALSE(fsys::exists(installed));
  EXPECT_EQ(run([&](Streams st) { return ListBackupName(bk, kNow, st); }),
            (Outcome{0, bk + "/AppleEnabledInputSources-" + kStamp + "-7.plist\n", ""}));

  // Failures leave nothing behind.
  const auto unchanged = snapshot(dir.path());
  const Outcome backUp = run([&](Streams st) { return BackUp(installed, bk, kNow, st); });
  const Outcome move = run([&](Streams st) { return MoveToBackups(installed, bk, kNow, st); });
  const Outcome name = run([&](Streams st) { return ListBackupName(dir / "Missing", kNow, st); });
  const Outcome copy = run([&](Streams st) { return CopyTree(installed, dir / "Copy", st); });
  EXPECT_EQ((std::vector{backUp.status, move.status, name.status, copy.status}), (std::vector{1, 1, 1, 1}));
  EXPECT_THAT(backUp.err, ::testing::StartsWith("Could not back up " + installed + " in " + bk + ": "));
  EXPECT_THAT(move.err, ::testing::EndsWith("; the installed version is where it was\n"));
  EXPECT_THAT(copy.err, ::testing::StartsWith("Could not copy " + installed + " to "));
  EXPECT_EQ(snapshot(dir.path()), unchanged);

  // The staged copy is the user's own: writable, whatever the source's modes.
  EXPECT_EQ(run([&](Streams st) { return CopyTree(first, dir / "Copy", st); }), (Outcome{0, "", ""}));
  EXPECT_EQ(fsys::status(dir / "Copy/Contents/Resources/extra").permissions(),
            fsys::perms::owner_read | fsys::perms::owner_write);
}

// Opening reports the workspace's answer, from whichever thread it comes, and gives up after the wait.
TEST(KeyloomForms, OpenReportsTheWorkspacesAnswer) {
  using workspace::OpenError;
  struct FakeWorkspace : workspace::Workspace {
    std::function<void(Completion)> answer;
    void openApplication(const std::string&, const std::vector<std::string>&, Completion done) override {
      answer(std::move(done));
    }
  };
  workspace::Workspace::Completion kept;
  const struct {
    std::function<void(workspace::Workspace::Completion)> answer;
    Outcome outcome;
    std::chrono::milliseconds wait = kOpenWait;
  } rows[] = {
      {[](auto done) {
         std::thread([done] {
           done(OpenError{OpenError::Kind::NoExecutable, ENOENT, "/a/Contents/MacOS/S"});
         }).detach();
       },
       {1, "",
        "Could not open /a.app: /a/Contents/MacOS/S has no executable to start (No such file or "
        "directory)\n"}},
      {[&](auto done) { kept = done; },
       {1, "", "Could not open /a.app: its start was not reported within 0.05 seconds\n"},
       50ms},
  };
  for (const auto& row : rows) {
    FakeWorkspace fake;
    fake.answer = row.answer;
    EXPECT_EQ(captured([&](Streams st) { return OpenBundle("/a.app", fake, st, row.wait); }), row.outcome);
  }
  kept({});  // late: nothing waits for it any more
}

// Each form with a wrong number or kind of arguments exits 2 with its usage line, before anything is looked
// at or changed.
TEST(KeyloomDispatch, RejectedFileForms) {
  TempDir dir;
  const std::string a = dir / "a", b = dir / "b", lock = dir / "lock";
  sonarell::test::makeBundle(a, std::string(BundleID), "1.0");
  const std::string lockedUsage = "<lock-file> <seconds> </absolute/program> [<argument>...]";
  const struct {
    std::vector<std::string> args;
    std::string operands;
  } rows[] = {
      {{"--locked", lock, "1"}, lockedUsage},
      {{"--locked", lock, "x", "/bin/true"}, lockedUsage},
      {{"--locked", lock, "86401", "/bin/true"}, lockedUsage},
      {{"--locked", lock, "1", "true"}, lockedUsage},
      {{"--copy-tree", a}, "<from> <to>"},
      {{"--back-up", a}, "<bundle> <backups-folder>"},
      {{"--move-to-backups", a, b, b}, "<bundle> <backups-folder>"},
      {{"--list-backup-name"}, "<backups-folder>"},
      {{"--newest-backup", b, a, a}, "<backups-folder> [<installed-bundle>]"},
      {{"--sweep", b}, "<input-methods-folder> <backups-folder>"},
      {{"--bundle-version"}, "<bundle>"},
      {{"--open", ""}, "<bundle>"},
      {{"--remove-enabled-entries"}, "<backup-path>"},
  };
  const auto untouched = snapshot(dir.path());
  for (const auto& row : rows) {
    Substitutes s;
    const bool setUp = row.args[0] == kRemoveOption;
    EXPECT_CALL(s.application, finishLaunching()).Times(setUp);
    EXPECT_CALL(s.textInput, createInputSourceList(_, _)).Times(0);
    EXPECT_EQ(dispatch(s, row.args),
              (Outcome{2, "", "Usage: Keyloom " + row.args[0] + " " + row.operands + "\n"}))
        << ::testing::PrintToString(row.args);
  }
  EXPECT_EQ(snapshot(dir.path()), untouched);
}

// The removal without a bundle takes our records out as the one with it does. A preference file the store
// cannot read is no missing list: the removal fails with the store's reason and changes nothing, in both
// forms.
TEST(KeyloomRemoval, WithoutABundleAndNeverOverAnUnreadableList) {
  TempDir home;
  const std::string h = home.str(), app = h + "/Sonarell.app", backup = h + "/backup.plist";
  const std::string prefs = h + "/Library/Preferences/com.apple.HIToolbox.plist";
  makeBundle(app, std::string(BundleID));
  Substitutes bare;
  bare.store.disk = Value(Array{layout(), parentRecord(), modeRecord()});
  EXPECT_CALL(bare.application, finishLaunching());
  EXPECT_EQ(dispatch(bare, {"--remove-enabled-entries", backup}),
            (Outcome{0, "enabled-list-removed=2 foreign-preserved=1 verified=1\n", ""}));
  EXPECT_EQ(plist::readFile(backup), Value(Array{layout(), parentRecord(), modeRecord()}));

  // Our record, in a file whose top is no dictionary.
  writeFile(prefs, xmlPlist("<array><dict><key>Bundle ID</key><string>" + std::string(BundleID) +
                            "</string></dict></array>"));
  const auto before = snapshot(h);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{app, "--remove-enabled-entries", backup},
        std::vector<std::string>{"--remove-enabled-entries", backup}}) {
    Substitutes s;
    s.store.real.emplace(h);
    EXPECT_CALL(s.textInput, disableInputSource(_)).Times(0);
    EXPECT_EQ(dispatch(s, args),
              (Outcome{1, "",
                       "Could not read the enabled input sources: the domain file is not a "
                       "property-list dictionary; no preferences changed\n"}));
    EXPECT_EQ(snapshot(h), before);
  }
}

// Through the built program: the locked program holds the lock on descriptor 9 and its status is Keyloom's; a
// second run waiting in vain gives 75. Both streams share one file, where the waiting line comes before the
// reason after it, as printed (the output stream is line-buffered).
TEST(KeyloomLocked, HandsTheLockToTheProgram) {
  TempDir dir;
  const std::string keyloom = std::string(KEYLOOM_BUNDLE_DIR) + "/Contents/MacOS/Keyloom";
  const std::string lock = dir / "Support/install.lock";
  const std::string script =
      "[ \"$SONARELL_INSTALL_LOCK_FD\" = 9 ] && [ \"$(readlink /proc/self/fd/9)\" = \"$2\" ] || exit 1\n"
      "\"$1\" --locked \"$2\" 0.2 /bin/true; echo \"second=$?\"; exit 7\n";
  const auto result =
      sonarell::test::run({keyloom, "--locked", lock, "5", "/bin/sh", "-c", script, "sh", keyloom, lock},
                          {"PATH=/usr/bin:/bin"}, dir.str());
  EXPECT_EQ(result.status, 7);
  EXPECT_THAT(result.output, ::testing::MatchesRegex("Waiting for another install of Sonarell to finish\n"
                                                     "another install of Sonarell is still running[^\n]*\n"
                                                     "second=75\n"));
}

}  // namespace
}  // namespace sonarell::keyloom
