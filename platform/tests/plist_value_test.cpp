#include <gtest/gtest.h>

#include "platform/plist/value.h"

namespace sonarell::plist {
namespace {

// Copies share their entries until one side changes; a change must never show
// through another copy, whichever way it is made.
TEST(PlistValue, CopiesOfADictionaryChangeIndependently) {
  Dictionary original{{"Bundle ID", "org.example.a"}, {"Input Mode", "x"}};
  Dictionary viaSet = original;
  Dictionary viaFind = original;
  Dictionary viaErase = original;
  Array list{Value(original), Value(original)};
  Array listCopy = list;

  viaSet.set("Bundle ID", "org.example.b");
  *viaFind.find("Input Mode") = Value("y");
  EXPECT_TRUE(viaErase.erase("Input Mode"));
  listCopy[1].asDictionary()->set("Extra", 1);

  EXPECT_EQ(*original.find("Bundle ID"), Value("org.example.a"));
  EXPECT_EQ(*original.find("Input Mode"), Value("x"));
  EXPECT_EQ(original.size(), 2u);
  EXPECT_EQ(*viaSet.find("Bundle ID"), Value("org.example.b"));
  EXPECT_EQ(*viaFind.find("Input Mode"), Value("y"));
  EXPECT_EQ(viaErase.find("Input Mode"), nullptr);
  EXPECT_EQ(list[1], Value(original));
  EXPECT_NE(listCopy[1], list[1]);
  EXPECT_EQ(listCopy[0], list[0]);

  // Equality still compares contents, not sharing: same keys in another order.
  Dictionary reordered{{"Input Mode", "x"}, {"Bundle ID", "org.example.a"}};
  EXPECT_EQ(reordered, original);
  Dictionary emptied{{"k", 1}};
  emptied.erase("k");
  EXPECT_EQ(emptied, Dictionary{});
}

}  // namespace
}  // namespace sonarell::plist
