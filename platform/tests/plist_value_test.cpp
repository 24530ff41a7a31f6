#include <gtest/gtest.h>

#include <iterator>
#include <limits>

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

// Integers compare by value whatever their form, reals and dates as numbers with
// a NaN equal to a NaN (a value read twice from one file must compare equal).
TEST(PlistValue, EqualityIsByValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
  const struct {
    Value a, b;
    bool equal;
  } cases[] = {
      {Value(std::uint64_t{5}), Value(5), true},
      {Value(top), Value(-1), false},
      {Value(top), Value(top), true},
      {Value(std::uint64_t{1} << 63), Value(std::numeric_limits<std::int64_t>::min()), false},
      {Value(nan), Value(nan), true},
      {Value(Date{nan}), Value(Date{nan}), true},
      {Value(Array{Value(nan)}), Value(Array{Value(nan)}), true},
      {Value(1.0), Value(1), false},
      {Value(Date{1.5}), Value(Date{1}), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal) << &c - cases;
  EXPECT_TRUE(Value(top).isInteger());
  EXPECT_EQ(Value(top).asInteger(), nullptr);
  EXPECT_EQ(Value(top).asUnsigned(), top);
  EXPECT_EQ(Value(-1).asUnsigned(), std::nullopt);
}

// Large dictionaries are indexed: every key found after inserts, erasures and
// copies, in insertion order, and a key never held twice.
TEST(PlistValue, IndexedDictionaryFindsEveryKey) {
  Dictionary d;
  for (int i = 0; i < 2000; ++i) EXPECT_TRUE(d.insert("k" + std::to_string(i), Value(i)));
  EXPECT_FALSE(d.insert("k7", Value(0)));
  Dictionary copy = d;
  for (int i = 0; i < 2000; i += 3) EXPECT_TRUE(d.erase("k" + std::to_string(i)));
  d.set("k1", Value(-1));
  d.set("new", Value(true));
  for (int i = 0; i < 2000; ++i) {
    const Value* v = d.find("k" + std::to_string(i));
    if (i % 3 == 0) {
      EXPECT_EQ(v, nullptr) << i;
    } else {
      ASSERT_NE(v, nullptr) << i;
      EXPECT_EQ(*v, Value(i == 1 ? -1 : i));
    }
    EXPECT_EQ(*copy.find("k" + std::to_string(i)), Value(i));
  }
  EXPECT_EQ(d.size(), 2000u - 667u + 1u);
  EXPECT_EQ(std::prev(d.end())->first, "new");
  EXPECT_EQ(d.begin()->first, "k1");
}

}  // namespace
}  // namespace sonarell::plist
