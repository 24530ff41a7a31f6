// The tool's rules in-process against substitutes, then what only the built program shows.

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "platform/notifications/notification_listener_linux.h"
#include "platform/plist/codec.h"
#include "register/enabled_list.h"
#include "register/registration.h"
#include "register/tests/support.h"
#include "tests/support/session_bus.h"
#include "tests/support/spawn.h"

namespace sonarell::keyloom {
namespace {

using namespace test;

const std::string kBundle = "/home/u/Library/Input Methods/Sonarell.app";
const std::string kRegistered = "launchservices-register=0\nregister=0\n";
const std::string kListed = kRegistered + listing(true) + listing(false);
const std::string kOurs = sonarell::test::kInputMethodId;

Outcome run(Substitutes& s, bool check = false, const std::string& backup = "") {
  return captured([&](Streams streams) {
    return RunRegistration({kBundle, check, !backup.empty(), backup}, s.services, streams);
  });
}

MATCHER(OurFilter, "") {
  return arg == Dictionary{{std::string(textinput::kTISPropertyBundleID), str(BundleID)}};
}

// Every rejected form exits 2 before any work, with its line (the exchange form silently), having set the
// application up first, except for the exchange. Each exchange swaps, whatever the spelling of the installed
// path or of the home; one the system refuses (across file systems) fails with its reason.
TEST(KeyloomDispatch, RejectedFormsAndExchanges) {
  TempDir home;
  const std::string h = home.str(), installed = h + "/Library/Input Methods/Sonarell.app";
  const std::string contents = installed + "/Contents", stagedApp = h + "/Staging/Sonarell.app";
  const std::string staged = stagedApp + "/Contents", b = h + "/b.plist", x = "--exchange-contents";
  const std::string caseOnly = h + "/Case.app";
  const std::string ours[] = {installed, stagedApp, h + "/Staging", h + "/Real/Sonarell.app",
                              h + "/Sonarell\xff\xfe.app"};
  for (const std::string& app : ours) makeBundle(app, kOurs);
  for (const std::string& app : {h + "/Other.app", h + "/Foreign/Sonarell.app"}) makeBundle(app, "com.Other");
  makeBundle(caseOnly, "org.quennet.inputmethod.sonarell");
  std::filesystem::create_directories(h + "/NoBundle/Contents");
  std::filesystem::create_directory_symlink(h + "/Real", h + "/Linked");
  const sonarell::test::ScopedEnv homeVariable("HOME", h.c_str());  // what "~" stands for
  TempDir fresh;                                                    // a home with nothing installed
  const struct {
    std::vector<std::string> args;
    std::string err, home = "";
  } rows[] = {
      {{}, kUsage},
      {{x, contents}, kUsage},
      {{x, "a", "b", "c"}, kUsage},
      {{installed, "--repair-enabled-list"}, kUsage},
      {{installed, "--check", "more"}, kUsage},
      {{installed, "--remove-enabled-entries"}, kUsage},
      {{installed, "--remove-enabled-entries", b, "more"}, kUsage},
      {{""}, kForeign},
      {{caseOnly, "--repair-enabled-list", b}, kForeign},
      {{h + "/Other.app", "--remove-enabled-entries", b}, kForeign},
      {{h + "/Missing.app"}, kForeign},
      {{h + "/Sonarell\xff\xfe.app"}, kForeign},
      // All but our installed Contents and a staged Contents of ours (Staging is ours too).
      {{x, staged, contents}, ""},
      {{x, contents, stagedApp}, ""},
      {{x, contents, h + "/Foreign/Sonarell.app/Contents"}, ""},
      {{x, contents, h + "/NoBundle/Contents"}, ""},
      {{x, contents, h + "/Linked/Sonarell.app/Contents"}, ""},
      {{x, contents + "\xff", staged}, ""},
      {{x, contents, stagedApp + "/Cont\xe9nts"}, ""},
      // The installed folder as its own staged copy: nothing would move.
      {{x, contents, contents}, ""},
      // ".." after a link: the standard form is not what the system reaches.
      {{x, h + "/Linked/../Library/Input Methods/Sonarell.app/Contents", staged}, ""},
      {{x, contents, h + "/Linked/../Staging/Sonarell.app/Contents"}, ""},
      {{x, fresh / "Library/Input Methods/Sonarell.app/Contents", staged}, "", fresh.str()},
  };
  const auto untouched = snapshot(h);
  for (const auto& row : rows) {
    Substitutes s;
    EXPECT_CALL(s.launchServices, registerURL(_, _)).Times(0);
    EXPECT_CALL(s.textInput, createInputSourceList(_, _)).Times(0);
    const bool setUp = row.args.size() != 3 || row.args[0] != x;
    {
      InSequence order;
      EXPECT_CALL(s.application, setActivationPolicyProhibited()).Times(setUp);
      EXPECT_CALL(s.application, finishLaunching()).Times(setUp);
    }
    EXPECT_EQ(dispatch(s, row.args, row.home.empty() ? h : row.home), (Outcome{2, "", row.err}))
        << ::testing::PrintToString(row.args);
  }
  EXPECT_EQ(snapshot(h), untouched);

  // A relative path is registered as the absolute one, without a trailing separator.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(installed + "/..");
  Substitutes s;
  EXPECT_CALL(s.launchServices, registerURL(installed, true)).WillOnce(Return(-1));
  const Outcome relative = dispatch(s, {"Sonarell.app/"}, h);
  std::filesystem::current_path(previous);
  EXPECT_EQ(relative, (Outcome{1, "launchservices-register=-1\n", ""}));

  writeFile(contents + "/version", "old");  // only the installed one has it
  const std::string base = std::filesystem::path(h).filename();
  for (const auto& [spelled, spelledHome] : std::vector<std::pair<std::string, std::string>>{
           {contents, h},
           {"~/Library/Input Methods/Sonarell.app/Contents", h},
           {h + "/Library/Logs/../Input Methods/Sonarell.app/Contents", h},
           {contents, h + "/../" + base}}) {
    const bool had = std::filesystem::exists(contents + "/version");
    EXPECT_EQ(dispatch(s, {x, spelled, staged + "/"}, spelledHome),
              (Outcome{0, "atomic-contents-exchange=1\n", ""}))
        << spelled << " in " << spelledHome;
    EXPECT_NE(std::filesystem::exists(contents + "/version"), had);
  }

  if (!std::filesystem::is_directory("/dev/shm")) return;
  TempDir shm("keyloom", "/dev/shm");
  struct stat a = {}, c = {};
  ASSERT_EQ(::stat(h.c_str(), &a) | ::stat(shm.str().c_str(), &c), 0);
  if (a.st_dev == c.st_dev) return;  // the home and /dev/shm are on one file system
  makeBundle(shm / "Sonarell.app", kOurs);
  const auto homeBefore = snapshot(h), shmBefore = snapshot(shm.str());
  EXPECT_EQ(dispatch(s, {x, contents, shm / "Sonarell.app/Contents"}, h),
            (Outcome{1, "", "Atomic input-method upgrade: Invalid cross-device link\n"}));
  EXPECT_EQ(snapshot(h), homeBefore);
  EXPECT_EQ(snapshot(shm.str()), shmBefore);
}

// The whole run in order, with three one-second waits; the repair, when asked for, between the second and the
// third, and only then is the list touched.
TEST(KeyloomRegistration, RunsEverythingInOrder) {
  TempDir dir;
  for (const bool repairing : {false, true}) {
    Substitutes s;
    s.store.disk = Value(Array{layout(), parentRecord(), modeRecord()});
    {
      InSequence order;
      EXPECT_CALL(s.launchServices, registerURL(kBundle, true)).WillOnce(Return(0));
      EXPECT_CALL(s.textInput, registerInputSource(kBundle)).WillOnce(Return(0));
      EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(false, false)));
      EXPECT_CALL(s.textInput, enableInputSource(kParent)).WillOnce(Return(0));
      EXPECT_CALL(s.runLoop, runFor(1.0));
      EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(true, false)));
      EXPECT_CALL(s.textInput, enableInputSource(kMode)).WillOnce(Return(0));
      EXPECT_CALL(s.runLoop, runFor(1.0));
      EXPECT_CALL(s.notifier, post(kNotification)).Times(repairing);
      EXPECT_CALL(s.runLoop, runFor(0.5)).Times(repairing);
      EXPECT_CALL(s.notifier, post(kNotification)).Times(repairing);
      EXPECT_CALL(s.runLoop, runFor(1.0));
      EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true)).WillOnce(Return(both(true, true)));
    }
    const std::string repaired = "refresh-own-enabled-entries=1 foreign-preserved=1\n" + verified(3, 0);
    const std::string lines = kListed + before(0, 0) + "enable-parent=0\nenable-mode=0\n" +
                              (repairing ? repaired : "") + after(1, 1) + "registration-complete=1\n";
    EXPECT_EQ(run(s, false, repairing ? dir / "b.plist" : ""), (Outcome{0, lines, ""}));
    EXPECT_EQ(s.store.syncs + s.store.sets > 0, repairing);
  }
  // A failed repair (here: no list at all) ends the run: no third wait, no after record.
  Substitutes failing;
  ON_CALL(failing.textInput, createInputSourceList(_, _)).WillByDefault(Return(both(true, true)));
  EXPECT_CALL(failing.runLoop, runFor(1.0)).Times(2);
  EXPECT_EQ(run(failing, false, dir / "second.plist"),
            (Outcome{1, kListed + before(1, 1) + "enable-parent=0\nenable-mode=0\n", kShape}));
  // A list the repair cannot work on (any shape KeyloomListForms refuses) is refused before anything is
  // registered or enabled, so that "no preferences changed" holds.
  Substitutes unusable;
  unusable.store.disk = Value(Array{parentRecord(), modeRecord(), Value(Array{})});
  EXPECT_EQ(run(unusable, false, dir / "b.plist"), (Outcome{1, "", kShape}));
}

// The status on the expected line "key=...", 0 when there is no such line.
int recorded(const std::string& lines, const std::string& key) {
  const std::string text = "\n" + lines;
  const std::size_t at = text.find("\n" + key + "=");
  return at == std::string::npos ? 0 : std::stoi(text.substr(at + key.size() + 2));
}

// Every other ending of a register or check run. Each call returns the status its expected line shows; the
// first that fails ends the run with its record. Neither form touches the list. Values other than text print
// as text.
TEST(KeyloomRegistration, Endings) {
  textinput::InputSource numeric = source(true, std::nullopt);  // only a boolean true is enabled
  numeric.properties.set(std::string(textinput::kTISPropertyInputSourceIsEnabled), Value(1));
  const auto full = both(true, true);
  const InputSourceList modeOnly(1, source(false, true)), parentOnly(1, source(true, true));
  const InputSourceList firstCounts{source(false, true), source(false, false), numeric};
  const std::string ours = listing(true) + listing(false), none = before(0, 0), no = "ready=0\n";
  const std::string e = kListed + before(1, 1) + "enable-parent=0\n", done = "registration-complete=1\n";
  const std::string noParent = "Parent input method was not registered\n",
                    noMode = "Input mode was not registered\n";
  const std::string firstListed = listing(false) + listing(false) + listing(true);
  // A failed enabling says why where the services can tell.
  const std::string why = notStored("the lock is held");
  const struct {
    bool check;
    std::vector<std::optional<InputSourceList>> lists;  // what the listings return, in turn
    int waits, status;
    std::string out, err;
  } rows[] = {
      {false, {}, 0, 1, "launchservices-register=-10810\n", ""},
      {false, {}, 0, 1, "launchservices-register=0\nregister=-50\n", ""},
      {false, {both(false, false)}, 0, 1, kListed + none + "enable-parent=-61\n", why},
      {false, {std::nullopt}, 0, 1, kRegistered + none, noParent},
      {false, {modeOnly}, 0, 1, kRegistered + listing(false) + before(0, 1), noParent},
      {false, {both(false, false), parentOnly}, 1, 1, kListed + none + "enable-parent=0\n", noMode},
      // The mode's status and the end state decide together.
      {false, {full, full, full}, 3, 1, e + "enable-mode=-50\n" + after(1, 1), why},
      {false, {full, full, both(true, false)}, 3, 1, e + "enable-mode=0\n" + after(1, 0) + done, ""},
      {false, {full, full, both(false, true)}, 3, 1, e + "enable-mode=0\n" + after(0, 1) + done, ""},
      // The check form lists and judges; the first source with an identifier counts.
      {true, {std::nullopt}, 0, 1, none + no, ""},
      {true, {both(true, false)}, 0, 1, ours + before(1, 0) + no, ""},
      {true, {firstCounts}, 0, 1, firstListed + before(0, 1) + no, ""},
      {true, {full}, 0, 0, ours + before(1, 1) + "ready=1\n", ""},
  };
  for (const auto& row : rows) {
    Substitutes s;
    const int ls = recorded(row.out, "launchservices-register");
    ON_CALL(s.launchServices, registerURL(_, _)).WillByDefault(Return(ls));
    ON_CALL(s.textInput, registerInputSource(_)).WillByDefault(Return(recorded(row.out, "register")));
    ON_CALL(s.textInput, lastFailure()).WillByDefault(Return("the lock is held"));
    EXPECT_CALL(s.launchServices, registerURL(kBundle, true)).Times(!row.check);
    EXPECT_CALL(s.textInput, registerInputSource(kBundle)).Times(!row.check && ls == 0);
    std::size_t listed = 0;
    ON_CALL(s.textInput, createInputSourceList(_, _)).WillByDefault([&](auto&&...) {
      return listed < row.lists.size() ? row.lists[listed++] : std::nullopt;  // more are a failure below
    });
    EXPECT_CALL(s.textInput, createInputSourceList(OurFilter(), true))
        .Times(static_cast<int>(row.lists.size()));
    for (const auto& [matcher, key] :
         {std::pair(kParent, "enable-parent"), std::pair(kMode, "enable-mode")}) {
      ON_CALL(s.textInput, enableInputSource(matcher)).WillByDefault(Return(recorded(row.out, key)));
      EXPECT_CALL(s.textInput, enableInputSource(matcher)).Times(row.out.find(key) != std::string::npos);
    }
    EXPECT_CALL(s.runLoop, runFor(_)).Times(0);
    EXPECT_CALL(s.runLoop, runFor(1.0)).Times(row.waits);
    EXPECT_EQ(run(s, row.check), (Outcome{row.status, row.out, row.err}));
    EXPECT_EQ(s.store.syncs + s.store.sets, 0);
  }
  const Value list(Array{str("IPA – Sonarell"), Value(-252), Value(false)});
  EXPECT_EQ(DescribeValue(&list), "(IPA – Sonarell, -252, 0)");
  EXPECT_EQ(DescribeValue(nullptr), "(null)");
}

// After a backup of the list as it was (XML whenever XML can carry it), what is missing is appended at the
// end, announced once; with both of ours present the foreign entries alone are stored for half a second,
// announced, then the list. A failure after the backup (the refusals before it are both list forms' own, see
// KeyloomListForms) leaves the backup and what another writer stored, and announces only what was stored; the
// list is never reported verified. On the real store another process's append just before a write is never
// lost: the write is refused. In a refresh synchronise 3 follows the write of the foreign entries, 4 the
// wait, 5 the list.
TEST(KeyloomRepair, AppendsWhatIsMissingOrRefreshesOrFails) {
  TempDir dir;
  const std::string backup = dir / "backup.plist";
  const Value kindless(Dictionary{{"Bundle ID", str(BundleID)}, {"Input Mode", str(ModeID)}});
  const Value bell(Dictionary{{"InputSourceKind", str("Keyboard Layout")}, {"Name", str("bell\a")}});
  const Value numericBundle = with(parentDict(), "Bundle ID", Value(1)),
              noBundle(Dictionary{{"Bundle ID", Value(5)}});
  const Value extraParent = with(parentDict(), "Added By", str("platform"));
  const Value mixed(
      Array{layout(), extraParent, kOtherMode, otherMethod(), with(modeDict(), "Order", Value(2)), noBundle});
  const Value one(Array{layout()}), full(kFull), foreign(Array{layout(), otherMethod()}),
      theirs(Array{otherMethod()});
  const std::string duringWait = "Enabled source list changed during refresh; retry installation\n";
  const std::string refreshed = "refresh-own-enabled-entries=1 foreign-preserved=2\n";
  const std::string fullDisk = notStored("the disk is full");
  const std::string changed =
      notStored("\"AppleEnabledInputSources\" was changed by another writer since it was read");
  const int kWait = -1;  // another writer while the run loop waits
  const struct {
    Value initial;
    std::optional<Value>
        left;  // the list at the end; what another writer stores (on the real store: a layout more)
    int posts;
    std::string out, err = "";
    int failAt = 0, writeAt = 0;  // the synchronise that fails; the one where another writer stores
    bool real = false;
  } rows[] = {
      {Value(Array{}), Value(Array{parentRecord(), modeRecord()}), 1, verified(0, 2)},
      {Value(Array{layout(), parentRecord(), otherMethod()}), full, 1, verified(3, 1)},
      {Value(Array{modeRecord(), layout()}), Value(Array{modeRecord(), layout(), parentRecord()}), 1,
       verified(2, 1)},
      // Our identifier with another mode, or a key of another type or missing, is no match.
      {Value(Array{parentRecord(), kOtherMode}), Value(Array{parentRecord(), kOtherMode, modeRecord()}), 1,
       verified(2, 1)},
      {Value(Array{numericBundle, kindless}),
       Value(Array{numericBundle, kindless, parentRecord(), modeRecord()}), 1, verified(2, 2)},
      // XML cannot carry a bell: the backup is binary.
      {Value(Array{bell}), Value(Array{bell, parentRecord(), modeRecord()}), 1, verified(1, 2)},
      {mixed, mixed, 2, "refresh-own-enabled-entries=1 foreign-preserved=3\n" + verified(6, 0)},
      {one, one, 0, "", fullDisk, 3},                // the final write fails
      {one, theirs, 0, "", kReadbackDiffers, 0, 3},  // another writer wins it
      {full, full, 0, "", fullDisk, 3},              // storing the foreign entries fails
      {full, theirs, 0, "", "", 0, 3},               // they read back different
      {full, theirs, 1, "", duringWait, 0, kWait},
      {full, foreign, 1, refreshed, fullDisk, 5},  // the write after the refresh fails
      {full, Value(Array{layout(), otherMethod(), layout()}), 1, refreshed, changed, 0, 5, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    TempDir home;
    auto append = [&](const Array& records) {
      preferences::FilePreferenceStore other(home.str());
      const std::optional<Value> list = other.copyAppValue(kKey, kDomain);
      Array appended = list && list->asArray() ? *list->asArray() : Array{};
      appended.insert(appended.end(), records.begin(), records.end());
      other.setAppValue(kKey, Value(std::move(appended)), kDomain);
      return other.synchronize(kDomain);
    };
    Substitutes s;
    s.store.disk = row.initial;
    if (row.real) s.store.real.emplace(home.str());
    ASSERT_TRUE(!row.real || append(*row.initial.asArray()));
    s.store.failingSync = row.failAt;
    s.store.otherWriter = [&](int n, std::optional<Value>& disk) {
      if (n != row.writeAt) return;
      if (!row.real) disk = row.left;
      EXPECT_TRUE(!row.real || append({layout()}));
    };
    const bool done = row.out.ends_with("verified=1\n");
    ON_CALL(s.runLoop, runFor(0.5)).WillByDefault([&](double) {
      if (row.writeAt == kWait) s.store.disk = row.left;
      if (done) {  // the one refresh that ends well: mixed's foreign entries alone
        EXPECT_EQ(s.store.disk, Value(Array{layout(), otherMethod(), noBundle}));
      }
    });
    // The wait comes after the foreign entries are announced.
    EXPECT_CALL(s.runLoop, runFor(0.5)).Times(done ? row.posts - 1 : row.posts);
    EXPECT_CALL(s.notifier, post(kNotification)).Times(row.posts);
    EXPECT_EQ(repair(s, backup), (Outcome{done ? 0 : 1, row.out, row.err}));
    using preferences::FilePreferenceStore;
    EXPECT_EQ(row.real ? FilePreferenceStore(home.str()).copyAppValue(kKey, kDomain) : s.store.disk,
              row.left);
    EXPECT_EQ(plist::readFile(backup), row.initial);
    EXPECT_EQ(readFile(backup).starts_with("<?xml"), plist::toXml(row.initial).has_value());
    std::filesystem::remove(backup);
  }
}

// What needs the built Keyloom.app as a process: exit statuses through main, the real store and text input,
// announcements on a private session bus. A check, the repair, a check, the removal, in a home folder of its
// own.
TEST(KeyloomProcess, ChecksRepairsAndRemovesThroughMainAnnouncingOnTheSessionBus) {
  TempDir home;
  const std::string h = home.str(), installed = h + "/Library/Input Methods/Sonarell.app";
  makeBundle(installed, kOurs);
  sonarell::test::SessionBus bus;
  ASSERT_TRUE(bus.running());
  const auto keyloom = [&](const std::vector<std::string>& args) {
    TempDir capture;
    const std::string out = capture / "out", err = capture / "err";
    const std::vector<std::string> env{"HOME=" + h, "DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
    const int status = sonarell::test::spawnAndWait(
        {std::string(KEYLOOM_BUNDLE_DIR) + "/Contents/MacOS/Keyloom", args, env, out, err, ""});
    return Outcome{status, readFile(out), readFile(err)};
  };
  std::vector<std::string> posted;
  auto listener =
      notifications::DBusNotificationListener::create([&](const std::string& n) { posted.push_back(n); });
  ASSERT_TRUE(listener);
  const std::string prefs = h + "/Library/Preferences/com.apple.HIToolbox.plist";
  const std::string ours = listing(true) + listing(false, "IPA");
  const auto domain = [](Array list) {
    return Value(Dictionary{{kKey, list}, {"AppleFnUsageType", Value(2)}});
  };
  writeFile(prefs, *plist::toXml(domain({layout(), otherMethod()})));
  EXPECT_EQ(keyloom({installed, "--check", "more"}), (Outcome{2, "", kUsage}));
  EXPECT_EQ(keyloom({installed, "--check"}), (Outcome{1, before(0, 0) + "ready=0\n", ""}));

  // The enabling calls append our records, so the repair finds both and refreshes.
  const std::string refreshed = "refresh-own-enabled-entries=1 foreign-preserved=2\n" + verified(4, 0);
  const std::string lines = kRegistered + ours + before(0, 0) + "enable-parent=0\nenable-mode=0\n" +
                            refreshed + after(1, 1) + "registration-complete=1\n";
  const std::string backup = h + "/备份 with space\nline.plist";  // passed on as it is
  const Array repaired{layout(), otherMethod(), parentRecord(), modeRecord()};
  EXPECT_EQ(keyloom({installed, "--repair-enabled-list", backup}), (Outcome{0, lines, ""}));
  EXPECT_EQ(plist::readFile(prefs), domain(repaired));
  EXPECT_EQ(plist::readFile(backup), Value(repaired));
  EXPECT_EQ(keyloom({installed, "--check"}), (Outcome{0, ours + before(1, 1) + "ready=1\n", ""}));

  EXPECT_EQ(keyloom({installed, "--remove-enabled-entries", h + "/removal.plist"}),
            (Outcome{0, "disable-mode=0\ndisable-parent=0\n" + removed(2, 2), ""}));
  EXPECT_EQ(plist::readFile(prefs), domain({layout(), otherMethod()}));
  // All three were on the bus before their run ended, however slowly the daemon routes them.
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       posted.size() < 3 && std::chrono::steady_clock::now() < deadline;)
    listener->waitFor(std::chrono::milliseconds(100));
  EXPECT_EQ(posted, std::vector<std::string>(3, kNotification));
}

}  // namespace
}  // namespace sonarell::keyloom
