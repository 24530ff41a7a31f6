#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "platform/plist/value.h"

namespace sonarell::plist {
namespace {

struct NodeDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<std::remove_pointer_t<plist_t>, NodeDeleter>;

// Binary input made by libplist itself from its own XML reading, so the codec is
// checked against a binary file it did not write.
std::string toBinary(const std::string& xml) {
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
  Node node(raw);
  EXPECT_TRUE(node) << xml;
  if (!node) return {};
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node.get(), &bytes, &length);
  std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
  return std::string(bytes, length);
}

Value sampleOfEveryKind() {
  return Dictionary{
      {"string", Value("héllo <&> \"quoted\"\ttab\nline")},
      {"empty", Value("")},
      {"integer", Value(std::int64_t{42})},
      {"negative", Value(std::int64_t{-7})},
      {"min", Value(std::numeric_limits<std::int64_t>::min())},
      {"max", Value(std::numeric_limits<std::int64_t>::max())},
      {"real", Value(0.1)},
      {"negativeReal", Value(-2.5e-300)},
      {"true", Value(true)},
      {"false", Value(false)},
      {"date", Value(Date{700000000})},
      {"beforeEpoch", Value(Date{-86400})},
      {"data", Value(Data{{0, 1, 2, 0xFF, 0x80}})},
      {"noData", Value(Data{})},
      {"array", Value(Array{Value(1), Value("two"), Value(Array{}), Value(Dictionary{})})},
      {"nested", Value(Dictionary{{"z", Value(1)}, {"a", Value(Dictionary{{"deep", Value(true)}})}})},
  };
}

TEST(PlistCodec, EveryKindRoundTripsThroughXmlAndBinary) {
  const Value original = sampleOfEveryKind();
  const std::optional<std::string> xml = toXml(original);
  ASSERT_TRUE(xml);
  EXPECT_NE(xml->find("<?xml"), std::string::npos);
  EXPECT_NE(xml->find("<integer>-7</integer>"), std::string::npos) << *xml;

  const std::optional<Value> fromXml = parse(*xml);
  ASSERT_TRUE(fromXml);
  EXPECT_EQ(*fromXml, original);

  const std::string binary = toBinary(*xml);
  ASSERT_EQ(binary.rfind("bplist00", 0), 0u);
  const std::optional<Value> fromBinary = parse(binary);
  ASSERT_TRUE(fromBinary);
  EXPECT_EQ(*fromBinary, original);

  // Kinds survive, not just equality-compatible values.
  const Dictionary& d = *fromBinary->asDictionary();
  EXPECT_TRUE(d.find("integer")->isInteger());
  EXPECT_TRUE(d.find("real")->isReal());
  EXPECT_TRUE(d.find("true")->isBoolean());
  EXPECT_TRUE(d.find("date")->isDate());
  EXPECT_TRUE(d.find("data")->isData());
  EXPECT_EQ(*d.find("negative")->asInteger(), -7);
}

TEST(PlistCodec, BinaryKeepsFractionalDatesOnBothSidesOfTheEpoch) {
  // XML dates carry whole seconds only; binary keeps the fraction.
  const std::string xml = *toXml(Value(Array{Value(Date{1.5}), Value(Date{-3.25})}));
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
  Node node(raw);
  ASSERT_TRUE(node);
  // Replace with exact dates, then go through binary.
  plist_array_set_item(node.get(), plist_new_date(1, 500000), 0);
  plist_array_set_item(node.get(), plist_new_date(-4, 750000), 1);
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node.get(), &bytes, &length);
  std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
  const auto parsed = parse(std::string(bytes, length));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, Value(Array{Value(Date{1.5}), Value(Date{-3.25})}));
}

TEST(PlistCodec, DictionaryOrderIsKeptBothWays) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>zebra</key><integer>1</integer><key>apple</key><integer>2</integer>"
      "<key>mango</key><integer>3</integer></dict></plist>";
  for (const std::string& bytes : {xml, toBinary(xml)}) {
    const auto parsed = parse(bytes);
    ASSERT_TRUE(parsed && parsed->isDictionary());
    std::string order;
    for (const auto& [key, value] : *parsed->asDictionary()) order += key + ",";
    EXPECT_EQ(order, "zebra,apple,mango,");
  }
  const auto written = toXml(*parse(xml));
  ASSERT_TRUE(written);
  const auto at = [&](const char* key) { return written->find(std::string("<key>") + key + "</key>"); };
  ASSERT_NE(at("mango"), std::string::npos);
  EXPECT_LT(at("zebra"), at("apple"));
  EXPECT_LT(at("apple"), at("mango"));
}

TEST(PlistCodec, DeepEquality) {
  const Value a = Dictionary{{"x", Value(1)}, {"y", Value(Array{Value("a"), Value("b")})}};
  const Value sameOtherOrder = Dictionary{{"y", Value(Array{Value("a"), Value("b")})}, {"x", Value(1)}};
  const Value arrayReordered = Dictionary{{"x", Value(1)}, {"y", Value(Array{Value("b"), Value("a")})}};
  const Value realInsteadOfInteger =
      Dictionary{{"x", Value(1.0)}, {"y", Value(Array{Value("a"), Value("b")})}};
  const Value extraKey =
      Dictionary{{"x", Value(1)}, {"y", Value(Array{Value("a"), Value("b")})}, {"z", Value(0)}};
  EXPECT_EQ(a, sameOtherOrder);
  EXPECT_NE(a, arrayReordered);
  EXPECT_NE(a, realInsteadOfInteger);
  EXPECT_NE(a, extraKey);
  EXPECT_NE(extraKey, a);
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value("1"), Value(1));
  EXPECT_NE(Value(Data{{1}}), Value(Data{{1, 0}}));
}

TEST(PlistCodec, GarbageAndForeignKindsGiveNone) {
  EXPECT_FALSE(parse(""));
  EXPECT_FALSE(parse("   \n"));
  EXPECT_FALSE(parse("garbage bytes \x01\x02\xff"));
  EXPECT_FALSE(parse("<html><body>not a plist</body></html>"));
  EXPECT_FALSE(parse("bplist00"));
  EXPECT_FALSE(parse(std::string("bplist00\0\0\0\0\0\0\0\0", 16)));
  // A dictionary cut off in the middle.
  EXPECT_FALSE(
      parse("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>x</string><key>b"));

  // A UID (keyed archives) has no counterpart, so the whole value is refused.
  Node dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "uid", plist_new_uid(3));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict.get(), &bytes, &length);
  std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
  EXPECT_FALSE(parse(std::string(bytes, length)));
}

// A binary property list whose objects are given as raw bytes; references are
// four bytes wide, the top object is object 0.
std::string binaryOf(const std::vector<std::string>& objects) {
  const auto bigEndian = [](std::uint64_t v, int size) {
    std::string out(static_cast<std::size_t>(size), '\0');
    for (int i = size - 1; i >= 0; --i, v >>= 8)
      out[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
    return out;
  };
  std::string data = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(data.size());
    data += object;
  }
  const std::uint64_t table = data.size();
  for (auto offset : offsets) data += bigEndian(offset, 8);
  data += std::string(6, '\0') + '\x08' + '\x04';
  data += bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
  return data;
}

std::string arrayOfRefs(std::initializer_list<std::uint32_t> refs) {
  std::string object(1, static_cast<char>(0xA0 | refs.size()));
  for (auto ref : refs) {
    for (int shift = 24; shift >= 0; shift -= 8) object += static_cast<char>((ref >> shift) & 0xFF);
  }
  return object;
}

TEST(PlistCodec, HostileStructuresAreRefusedWithoutCrashing) {
  // Nesting that would exhaust the stack of a recursive reader or of plist_free.
  const auto nestedXml = [](int depth) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    xml += "<!-- <array> in a comment is no array --><array/>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
  };
  EXPECT_TRUE(parse(nestedXml(400)));
  EXPECT_FALSE(parse(nestedXml(1'000'000)));

  std::vector<std::string> chain;
  for (std::uint32_t i = 0; i < 200'000; ++i) chain.push_back(arrayOfRefs({i + 1}));
  chain.push_back(arrayOfRefs({}));
  EXPECT_FALSE(parse(binaryOf(chain)));
  chain.resize(10);
  chain.push_back(arrayOfRefs({}));
  EXPECT_TRUE(parse(binaryOf(chain)));

  // An array that contains itself.
  EXPECT_FALSE(parse(binaryOf({arrayOfRefs({0})})));
  // Forty objects, each referring twice to the next: 2^40 nodes once expanded.
  std::vector<std::string> bomb;
  for (std::uint32_t i = 0; i < 40; ++i) bomb.push_back(arrayOfRefs({i + 1, i + 1}));
  bomb.push_back(arrayOfRefs({}));
  EXPECT_FALSE(parse(binaryOf(bomb)));
  // References and offsets that point outside the file.
  EXPECT_FALSE(parse(binaryOf({arrayOfRefs({7})})));
  std::string badTrailer = binaryOf({arrayOfRefs({})});
  badTrailer[badTrailer.size() - 25] = 0;  // reference size 0
  EXPECT_FALSE(parse(badTrailer));
}

TEST(PlistCodec, ToXmlRefusesWhatXmlCannotCarry) {
  // libplist would silently drop the control character and write an altered value.
  EXPECT_FALSE(toXml(Value("bell\x07")));
  EXPECT_FALSE(toXml(Value(Array{Value("ok"), Value("\xff\xfe")})));
  EXPECT_FALSE(toXml(Value(Dictionary{{"key\x01", Value(1)}})));
  EXPECT_FALSE(toXml(Value(Dictionary{{std::string("a\0b", 3), Value(1)}})));
  EXPECT_FALSE(toXml(Value(Date{1e12})));
  EXPECT_TRUE(toXml(Value("中文 and tabs\t")));
}

TEST(PlistCodec, ReadFileReadsWholeFilesAndFailsOnMissingOnes) {
  const std::string path = testing::TempDir() + "/plist_codec_read_file.plist";
  Array big;
  for (int i = 0; i < 20000; ++i) big.emplace_back("entry number " + std::to_string(i));
  const std::string xml = *toXml(Value(big));
  ASSERT_GT(xml.size(), 65536u * 4);  // more than one read's worth
  {
    std::ofstream out(path, std::ios::binary);
    out << xml;
  }
  const auto read = readFile(path);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, Value(big));
  std::remove(path.c_str());
  EXPECT_FALSE(readFile(path));
  EXPECT_FALSE(readFile(testing::TempDir()));  // a folder
}

}  // namespace
}  // namespace sonarell::plist
