#include "register/dispatch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "register/tests/substitutes.h"
#include "register/tests/support.h"

namespace sonarell::keyloom {
namespace {

using ::testing::_;
using testing::CapturedStreams;
using ::testing::InSequence;
using ::testing::Return;
using testing::Substitutes;
using testing::TempDir;

const std::string kUsage =
    "Usage: Keyloom /path/to/Sonarell.app [--check | --repair-enabled-list /new/backup.plist]\n";
const std::string kUnexpected = "Unexpected input method bundle ID\n";

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome dispatch(Substitutes& s, std::vector<std::string> args,
                 const std::string& home = "/nonexistent-home") {
  std::vector<const char*> argv{"Keyloom"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  CapturedStreams streams;
  const int status = Dispatch(static_cast<int>(argv.size() - 1), argv.data(), s.services,
                              Streams{streams.out(), streams.err()}, home);
  return {status, streams.outText(), streams.errText()};
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    app = dir / "Sonarell.app";
    testing::makeBundle(app, std::string(BundleID));
  }
  // Rejections happen before any registration, listing or preference call.
  void expectNoWork(Substitutes& s) {
    EXPECT_CALL(s.launchServices, registerURL(_, _)).Times(0);
    EXPECT_CALL(s.textInput, registerInputSource(_)).Times(0);
    EXPECT_CALL(s.textInput, createInputSourceList(_, _)).Times(0);
    EXPECT_CALL(s.textInput, enableInputSource(_)).Times(0);
  }
  TempDir dir;
  std::string app;
};

TEST_F(DispatchTest, UsageAfterTheApplicationIsSetUp) {
  const std::vector<std::vector<std::string>> invocations{
      {},
      {"--exchange-contents", "a"},
      {"--exchange-contents", "a", "b", "c"},
      {app, "--repair-enabled-list"},
      {app, "--check", "extra"},
      {app, "--CHECK"},
      {app, "-check"},
      {app, "--Check"},
      {app, "--repair-enabled-list=/tmp/b.plist"},
      {app, "--repair", dir / "b.plist"},
      {app, dir / "b.plist", "--repair-enabled-list"},
      {"--check", app},
      {app, "--check", "--repair-enabled-list", dir / "b.plist"},
  };
  for (const auto& args : invocations) {
    Substitutes s;
    expectNoWork(s);
    {
      InSequence order;
      EXPECT_CALL(s.application, setActivationPolicyProhibited());
      EXPECT_CALL(s.application, finishLaunching());
    }
    const Outcome outcome = dispatch(s, args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, kUsage) << ::testing::PrintToString(args);
  }
}

TEST_F(DispatchTest, ForeignOrMissingBundlesAreRefused) {
  testing::makeBundle(dir / "Other.app", "com.example.Other");
  std::filesystem::create_directories(dir / "Plain.app/Contents");
  testing::writeFile(dir / "Broken.app/Contents/Info.plist", "<plist><dict><key>CFBundle");
  testing::writeFile(dir / "List.app/Contents/Info.plist",
                     testing::xmlPlist("<array><string>org.quennet.inputmethod.Sonarell</string></array>"));
  testing::writeFile(dir / "Number.app/Contents/Info.plist",
                     testing::xmlPlist("<dict><key>CFBundleIdentifier</key><integer>1</integer></dict>"));
  testing::writeFile(dir / "Case.app/Contents/Info.plist",
                     testing::xmlPlist("<dict><key>CFBundleIdentifier</key>"
                                       "<string>org.quennet.inputmethod.sonarell</string></dict>"));
  testing::writeFile(dir / "File.app", "not a folder");

  const std::vector<std::vector<std::string>> invocations{
      {dir / "Other.app"},
      {dir / "Plain.app", "--check"},
      {dir / "Broken.app"},
      {dir / "List.app"},
      {dir / "Number.app"},
      {dir / "Case.app", "--repair-enabled-list", dir / "b.plist"},
      {dir / "File.app"},
      {dir / "Missing.app"},
      {""},
      {"--exchange-contents"},
      {"--check"},
      {dir / "Sonar\xff"
             "ell.app"},
  };
  for (const auto& args : invocations) {
    Substitutes s;
    expectNoWork(s);
    EXPECT_CALL(s.application, finishLaunching()).Times(1);
    const Outcome outcome = dispatch(s, args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, kUnexpected) << ::testing::PrintToString(args);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "b.plist"));
}

TEST_F(DispatchTest, EachFormReachesItsWork) {
  {  // Register: registration with the bundle's absolute path, no repair.
    Substitutes s;
    EXPECT_CALL(s.launchServices, registerURL(app, true)).WillOnce(Return(-1));
    const Outcome outcome = dispatch(s, {app + "/"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "launchservices-register=-1\n");
  }
  {  // A relative path is taken against the working directory.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    Substitutes s;
    EXPECT_CALL(s.launchServices, registerURL(app, true)).WillOnce(Return(-1));
    const Outcome outcome = dispatch(s, {"Sonarell.app"});
    std::filesystem::current_path(previous);
    EXPECT_EQ(outcome.status, 1);
  }
  {  // Check: no registration, straight to the listing.
    Substitutes s;
    EXPECT_CALL(s.launchServices, registerURL(_, _)).Times(0);
    EXPECT_CALL(s.textInput, createInputSourceList(_, true)).WillOnce(Return(textinput::InputSourceList{}));
    const Outcome outcome = dispatch(s, {app, "--check"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "parent-before=0 mode-before=0\nready=0\n");
  }
  {  // Repair with a backup path that is no text: the backup step refuses it.
    Substitutes s;
    s.store.disk = plist::Value(plist::Array{});
    ON_CALL(s.textInput, createInputSourceList(_, _))
        .WillByDefault(
            Return(textinput::InputSourceList{testing::parentSource(true), testing::modeSource(true)}));
    const std::string backup = dir / "b\xc3\x28.plist";
    const Outcome outcome = dispatch(s, {app, "--repair-enabled-list", backup});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Could not create a new enabled-source backup\n");
    EXPECT_EQ(s.store.sets, 0);
    EXPECT_FALSE(std::filesystem::exists(backup));
  }
}

TEST_F(DispatchTest, ExchangeFormNeverSetsUpTheApplication) {
  // Real bundles in a home of their own; the swap itself is exercised on the
  // built program, here only the dispatch and the silent rejections.
  const std::string installed = dir / "Library/Input Methods/Sonarell.app";
  const std::string staged = dir / "Staged/Sonarell.app";
  testing::makeBundle(installed, std::string(BundleID));
  testing::makeBundle(staged, std::string(BundleID));
  testing::writeFile(installed + "/Contents/old", "old");
  testing::writeFile(staged + "/Contents/new", "new");
  testing::makeBundle(dir / "Other.app", "com.example.Other");

  const std::vector<std::vector<std::string>> rejected{
      {"--exchange-contents", staged + "/Contents", installed + "/Contents"},
      {"--exchange-contents", installed + "/Contents", staged},
      {"--exchange-contents", installed + "/Contents", dir / "Other.app/Contents"},
      {"--exchange-contents", installed + "/Contents\xff", staged + "/Contents"},
      {"--exchange-contents", "", ""},
  };
  for (const auto& args : rejected) {
    Substitutes s;
    EXPECT_CALL(s.application, setActivationPolicyProhibited()).Times(0);
    EXPECT_CALL(s.application, finishLaunching()).Times(0);
    const Outcome outcome = dispatch(s, args, dir.path());
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(outcome.out + outcome.err, "");
  }
  EXPECT_TRUE(std::filesystem::exists(installed + "/Contents/old"));

  Substitutes s;
  EXPECT_CALL(s.application, finishLaunching()).Times(0);
  const Outcome swapped =
      dispatch(s, {"--exchange-contents", installed + "//Contents/", staged + "/Contents"}, dir.path());
  EXPECT_EQ(swapped.status, 0);
  EXPECT_EQ(swapped.out, "atomic-contents-exchange=1\n");
  EXPECT_TRUE(std::filesystem::exists(installed + "/Contents/new"));
  EXPECT_TRUE(std::filesystem::exists(staged + "/Contents/old"));
}

}  // namespace
}  // namespace sonarell::keyloom
