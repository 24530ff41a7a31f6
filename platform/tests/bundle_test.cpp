#include "platform/bundle/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/plist/codec.h"
#include "tests/support/scratch.h"

namespace sonarell::bundle {
namespace {

namespace stdfs = std::filesystem;
using plist::Dictionary;
using plist::Value;

class BundleTest : public testing::Test {
 protected:
  std::string make(const std::string& name, const std::string& infoBytes) {
    const std::string bundle = dir_ + "/" + name;
    testsupport::writeFile(bundle + "/Contents/Info.plist", infoBytes);
    return bundle;
  }
  testsupport::TempDir scratch_{"bundle-test"};
  const std::string dir_ = scratch_.str();
};

TEST_F(BundleTest, ReadsTheIdentifierFromInfoPlist) {
  const std::string bundle = make("Sonarell 中文.app", *plist::toXml(Value(Dictionary{
                                                           {"CFBundleName", Value("Sonarell")},
                                                           {"CFBundleIdentifier", Value("org.example.Thing")},
                                                       })));
  EXPECT_EQ(infoPlistPath(bundle), bundle + "/Contents/Info.plist");
  EXPECT_EQ(infoPlistPath(bundle + "/"), bundle + "/Contents/Info.plist");
  EXPECT_EQ(identifier(bundle), "org.example.Thing");
  EXPECT_EQ(identifier(bundle + "/"), "org.example.Thing");
  const auto info = infoDictionary(bundle);
  ASSERT_TRUE(info);
  EXPECT_EQ(*info->find("CFBundleName"), Value("Sonarell"));
}

TEST_F(BundleTest, WhatIsNoBundleHasNoIdentifier) {
  EXPECT_FALSE(identifier(dir_ + "/missing.app"));
  EXPECT_FALSE(identifier(""));
  stdfs::create_directories(dir_ + "/Empty.app/Contents");
  EXPECT_FALSE(infoDictionary(dir_ + "/Empty.app"));

  EXPECT_FALSE(infoDictionary(make("Garbage.app", "not a plist at all")));
  EXPECT_FALSE(
      infoDictionary(make("Array.app", *plist::toXml(Value(plist::Array{Value("CFBundleIdentifier")})))));
  EXPECT_FALSE(
      infoDictionary(make("Cut.app", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundle")));

  // A dictionary without a string identifier is a bundle without an identifier.
  const std::string numeric =
      make("Numeric.app", *plist::toXml(Value(Dictionary{{"CFBundleIdentifier", Value(7)}})));
  EXPECT_TRUE(infoDictionary(numeric));
  EXPECT_FALSE(identifier(numeric));
  EXPECT_FALSE(identifier(make("NoId.app", *plist::toXml(Value(Dictionary{{"CFBundleName", Value("x")}})))));
}

}  // namespace
}  // namespace sonarell::bundle
