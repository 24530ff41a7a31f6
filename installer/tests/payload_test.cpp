// The payload description: derived locations, completeness and the installed test.

#include "installer/payload/installer_payload.h"
#include "installer/tests/support.h"

namespace sonarell::installer::testing {
namespace {

using Payload = InstallerTest;

TEST_F(Payload, LocationsDeriveFromRootAndHomeWithSingleSeparators) {
  for (const std::string root : {"/r/Resources", "/r/Resources/"}) {
    InstallerPayload p(root);
    EXPECT_EQ(p.root(), root);  // taken unchanged
    EXPECT_EQ(p.app(), "/r/Resources/Payload/Sonarell.app");
    EXPECT_EQ(p.helper(), "/r/Resources/Registration/Keyloom.app");
    EXPECT_EQ(p.script(), "/r/Resources/Scripts/install-macos.sh");
  }
  EXPECT_EQ(InstallerPayload::target(), (home_ / "Library/Input Methods/Sonarell.app").string());
  // Asked afresh every time.
  sonarell::testing::ScopedEnv other("HOME", "/elsewhere/");
  EXPECT_EQ(InstallerPayload::target(), "/elsewhere/Library/Input Methods/Sonarell.app");
  EXPECT_EQ(joinPath("/", "a/b"), "/a/b");
  EXPECT_EQ(joinPath("/x//", "/a"), "/x/a");
}

TEST_F(Payload, ValidationTestsTheThreeItemsInOrderWithOneError) {
  EXPECT_EQ(InstallerPayload((base_ / "nowhere").string()).validate(), payloadIncompleteError());
  InstallerPayload p(root_.string());
  stdfs::create_directories(root_ / "Payload/Sonarell.app");  // a bundle without its information file
  writeFile(root_ / "Registration/Keyloom.app/Contents/MacOS/Keyloom", "");
  writeFile(root_ / "Scripts/install-macos.sh", "");
  EXPECT_EQ(p.validate(), payloadIncompleteError());
  writeFile(root_ / "Payload/Sonarell.app/Contents/Info.plist", "");
  EXPECT_EQ(p.validate(), std::nullopt);
  stdfs::remove(root_ / "Registration/Keyloom.app/Contents/MacOS/Keyloom");
  EXPECT_EQ(p.validate(), payloadIncompleteError());
  stdfs::create_directories(root_ / "Registration/Keyloom.app/Contents/MacOS/Keyloom");  // a folder passes
  EXPECT_EQ(p.validate(), std::nullopt);
  stdfs::remove(root_ / "Scripts/install-macos.sh");
  EXPECT_EQ(p.validate(), payloadIncompleteError());
  // Neither execute bits nor contents matter.
  writeFile(root_ / "Scripts/install-macos.sh", "");
  stdfs::permissions(root_ / "Scripts/install-macos.sh", stdfs::perms::none);
  EXPECT_EQ(p.validate(), std::nullopt);
}

TEST_F(Payload, InstalledIsExistenceAtTheTargetFollowingLinksAndNeverCached) {
  EXPECT_FALSE(InstallerPayload::installed());
  writeFile(home_ / "Library/Input Methods/Sonarell.app", "a plain file counts");
  EXPECT_TRUE(InstallerPayload::installed());
  stdfs::remove(home_ / "Library/Input Methods/Sonarell.app");
  EXPECT_FALSE(InstallerPayload::installed());
  stdfs::create_symlink(base_ / "dangling", home_ / "Library/Input Methods/Sonarell.app");
  EXPECT_FALSE(InstallerPayload::installed());
  stdfs::create_directories(base_ / "dangling");
  EXPECT_TRUE(InstallerPayload::installed());
}

}  // namespace
}  // namespace sonarell::installer::testing
