#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "platform/plist/value.h"

namespace sonarell::plist {
namespace {

Value nested(int depth) {
  Value v = Array{};
  for (int i = 0; i < depth; ++i) v = Value(Array{std::move(v)});
  return v;
}

// Values beyond what the differential test's oracle can hold: dates far outside
// 32-bit seconds and Python's years, non-finite dates, the deepest nesting.
TEST(PlistCodec, EveryValueIsWrittenBackEqualInItsForm) {
  Dictionary wide;
  for (int i = 0; i < 100000; ++i) wide.set("key " + std::to_string(i), Value(i));
  const struct {
    Value value;
    bool xml;
  } cases[] = {
      {Value(Date{1e15}), false},
      {Value(Date{-1e15 - 0.5}), false},
      {Value(Date{std::numeric_limits<double>::infinity()}), false},
      {Value(Date{std::numeric_limits<double>::quiet_NaN()}), false},
      {Value(Date{-0.25}), false},
      {Value(Date{-63113904001.0}), false},  // the last second of the year 0
      {Value(Date{252423993600.0}), false},  // 10000-01-01
      {Value(Array{Value(std::uint64_t{1} << 63), Value(std::numeric_limits<std::int64_t>::min())}), true},
      {nested(kMaxDepth), true},
      {Value(wide), true},
  };
  for (const auto& c : cases) {
    for (Format form : {Format::kBinary, Format::kXml}) {
      const auto bytes = serialize(c.value, form);
      ASSERT_EQ(bytes.has_value(), form == Format::kBinary || c.xml) << static_cast<int>(form);
      if (!bytes) continue;
      const auto parsed = parseWithFormat(*bytes);
      ASSERT_TRUE(parsed);
      EXPECT_EQ(parsed->format, form);
      EXPECT_EQ(parsed->value, c.value);
      EXPECT_EQ(serialize(parsed->value, form), bytes);  // nothing drifts, not even -0 or a NaN
    }
  }
  EXPECT_EQ(*parse(*serialize(Value(wide), Format::kBinary))->asDictionary()->find("key 99999"),
            Value(99999));
  // Deeper than the readers accept is not written either.
  EXPECT_FALSE(serialize(nested(kMaxDepth + 1), Format::kBinary));
  EXPECT_FALSE(serialize(nested(kMaxDepth + 1), Format::kXml));
  // A string that is no UTF-8 has no binary form.
  EXPECT_FALSE(serialize(Value("\xff\xfe"), Format::kBinary));
}

std::uint64_t bitsOf(double d) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

std::string bigEndian(std::uint64_t v, int size) {
  std::string out(static_cast<std::size_t>(size), '\0');
  for (int i = size - 1; i >= 0; --i, v >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
  return out;
}

// A binary property list of raw objects: two-byte references, eight-byte offsets,
// object 0 on top; `trailer` may replace the computed trailer.
std::string binaryOf(const std::vector<std::string>& objects, std::string trailer = {}) {
  std::string data = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(data.size());
    data += object;
  }
  const std::uint64_t table = data.size();
  for (auto offset : offsets) data += bigEndian(offset, 8);
  if (trailer.empty()) {
    trailer = std::string(6, '\0') + '\x08' + '\x02' + bigEndian(objects.size(), 8) + bigEndian(0, 8) +
              bigEndian(table, 8);
  }
  return data + trailer;
}

std::string container(unsigned kind, const std::vector<std::uint16_t>& refs, std::size_t count) {
  std::string object(1, static_cast<char>(kind << 4 | (count < 15 ? count : 15)));
  if (count >= 15) object += '\x13' + bigEndian(count, 8);
  for (auto ref : refs) object += bigEndian(ref, 2);
  return object;
}
std::string array(const std::vector<std::uint16_t>& refs) { return container(0xA, refs, refs.size()); }
std::string dict(const std::vector<std::uint16_t>& refs) { return container(0xD, refs, refs.size() / 2); }
std::string ascii(const std::string& s) { return char(0x50 | s.size()) + s; }

// Each object refers twice to the next: 2^levels leaves once expanded.
std::vector<std::string> doubling(int levels) {
  std::vector<std::string> objects;
  for (int i = 0; i < levels; ++i) objects.push_back(array({std::uint16_t(i + 1), std::uint16_t(i + 1)}));
  objects.push_back(ascii("leaf"));
  return objects;
}

// `depth` arrays each holding the next, numbered from `first`, and an empty one.
std::vector<std::string> chain(int depth, int first = 0) {
  std::vector<std::string> objects;
  for (int i = 0; i < depth; ++i) objects.push_back(array({std::uint16_t(first + i + 1)}));
  objects.push_back(array({}));
  return objects;
}

// The chain at object 2 is reached directly, and again through object 1, one level deeper.
std::vector<std::string> sharedChain(int depth) {
  std::vector<std::string> objects{array({2, 1}), array({2})};
  for (auto& object : chain(depth, 2)) objects.push_back(object);
  return objects;
}

TEST(PlistCodec, HostileBinaryInputIsRefusedOrReadExactly) {
  const std::string valid = binaryOf({array({1}), ascii("x")});
  const std::string cut = valid.substr(0, valid.size() - 1);
  const std::string trailerBase = std::string(6, '\0');
  const struct {
    const char* name;
    std::string bytes;
    std::optional<Value> expected;  // none: refused
  } cases[] = {
      {"valid", valid, Value(Array{Value("x")})},
      {"NUL in an ASCII string",
       binaryOf({std::string("\x53"
                             "a\0b",
                             4)}),
       Value(std::string("a\0b", 3))},
      {"NUL in a UTF-16 key", binaryOf({dict({1, 2}), std::string("\x62\0\0\0k", 5), ascii("v")}),
       Value(Dictionary{{std::string("\0k", 2), Value("v")}})},
      {"astral UTF-16", binaryOf({std::string("\x62\xD8\x3D\xDE\x00", 5)}), Value("\xF0\x9F\x98\x80")},
      {"lone surrogate", binaryOf({std::string("\x61\xD8\x3D", 3)}), std::nullopt},
      {"ASCII above 0x7F", binaryOf({ascii("\x80")}), std::nullopt},
      {"16-byte integer above INT64_MAX", binaryOf({"\x14" + bigEndian(0, 8) + bigEndian(~0ull, 8)}),
       Value(std::numeric_limits<std::uint64_t>::max())},
      {"16-byte integer beyond 64 bits", binaryOf({"\x14" + bigEndian(1, 8) + bigEndian(0, 8)}),
       std::nullopt},
      {"4-byte real", binaryOf({std::string("\x22\x3F\xC0\x00\x00", 5)}), Value(1.5)},
      {"fractional date before 1901", binaryOf({"\x33" + bigEndian(bitsOf(-3e9 - 0.25), 8)}),
       Value(Date{-3e9 - 0.25})},
      {"self-reference", binaryOf({array({0})}), std::nullopt},
      {"cycle through a dictionary", binaryOf({array({1}), dict({2, 0}), ascii("k")}), std::nullopt},
      {"2^10 leaves through sharing", binaryOf(doubling(10)), std::nullopt /* set below */},
      {"2^20 leaves through sharing", binaryOf(doubling(20)), std::nullopt},
      {"nesting at the limit", binaryOf(chain(kMaxDepth)), nested(kMaxDepth)},
      {"nesting beyond it", binaryOf(chain(kMaxDepth + 1)), std::nullopt},
      {"nesting beyond it through a shared object", binaryOf(sharedChain(kMaxDepth - 1)), std::nullopt},
      {"shared object within the limit", binaryOf(sharedChain(kMaxDepth - 2)), std::nullopt /* set below */},
      {"duplicate key", binaryOf({dict({1, 1, 2, 2}), ascii("k"), ascii("v")}), std::nullopt},
      {"key that is no string", binaryOf({dict({1, 1}), std::string("\x10\x07", 2)}), std::nullopt},
      {"UID", binaryOf({std::string("\x80\x01", 2)}), std::nullopt},
      {"set", binaryOf({std::string("\xC0", 1)}), std::nullopt},
      {"null", binaryOf({std::string("\x00", 1)}), std::nullopt},
      {"reference out of range", binaryOf({array({9})}), std::nullopt},
      {"truncated trailer", cut, std::nullopt},
      {"reference size 0",
       binaryOf({array({})},
                trailerBase + '\x08' + '\x00' + bigEndian(1, 8) + bigEndian(0, 8) + bigEndian(9, 8)),
       std::nullopt},
      {"offset table past the end",
       binaryOf({array({})},
                trailerBase + '\x08' + '\x02' + bigEndian(1, 8) + bigEndian(0, 8) + bigEndian(99, 8)),
       std::nullopt},
      {"huge object count",
       binaryOf({array({})},
                trailerBase + '\x08' + '\x02' + bigEndian(1ull << 62, 8) + bigEndian(0, 8) + bigEndian(9, 8)),
       std::nullopt},
      {"huge array count", binaryOf({container(0xA, {0}, std::size_t{1} << 62)}), std::nullopt},
      {"huge string count", binaryOf({"\x5F\x13" + bigEndian(~0ull >> 1, 8) + "abc"}), std::nullopt},
      {"offset into the offset table",
       "bplist00" + array({}) + bigEndian(9, 8) + trailerBase + '\x08' + '\x02' + bigEndian(1, 8) +
           bigEndian(0, 8) + bigEndian(9, 8),
       std::nullopt},
  };
  Value leaves = Value("leaf");
  for (int i = 0; i < 10; ++i) leaves = Value(Array{leaves, leaves});
  for (const auto& c : cases) {
    const auto parsed = parseWithFormat(c.bytes);
    std::optional<Value> expected = c.expected;
    if (std::string_view(c.name) == "2^10 leaves through sharing") expected = leaves;
    if (std::string_view(c.name) == "shared object within the limit") {
      expected = Value(Array{nested(kMaxDepth - 2), Value(Array{nested(kMaxDepth - 2)})});
    }
    ASSERT_EQ(parsed.has_value(), expected.has_value()) << c.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->value, *expected) << c.name;
    EXPECT_EQ(parsed->format, Format::kBinary);
    // Whatever is read is written back equal, in its form.
    const auto again = serialize(parsed->value, Format::kBinary);
    ASSERT_TRUE(again) << c.name;
    EXPECT_EQ(parse(*again), *expected) << c.name;
  }

  // A megabyte of references to one long string: refused by the expansion bound
  // (it would take a gigabyte), not built.
  std::vector<std::uint16_t> refs(500000, 1);
  EXPECT_FALSE(parse(binaryOf({array(refs), "\x5F\x11\x04\x00" + std::string(1024, 's')})));
}

TEST(PlistCodec, GarbageGivesNone) {
  for (const std::string& bytes : {
           std::string(),
           std::string("   \n"),
           std::string("garbage bytes \x01\x02\xff"),
           std::string("<html><body>not a plist</body></html>"),
           std::string("bplist00"),
           std::string("bplist00\0\0\0\0\0\0\0\0", 16),
           std::string(
               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>x</string><key>b"),
       }) {
    EXPECT_FALSE(parse(bytes)) << bytes;
  }
}

TEST(PlistCodec, ReadFileReadsWholeRegularFilesOnly) {
  const std::string path = testing::TempDir() + "/plist_codec_read_file.plist";
  Array big;
  for (int i = 0; i < 20000; ++i) big.emplace_back("entry number " + std::to_string(i));
  const std::string xml = *toXml(Value(big));
  ASSERT_GT(xml.size(), 65536u * 4);  // more than one read's worth
  std::ofstream(path, std::ios::binary) << xml;
  EXPECT_EQ(readFile(path), Value(big));
  std::remove(path.c_str());
  EXPECT_FALSE(readFile(path));
  EXPECT_FALSE(readFile(testing::TempDir()));  // a folder
  // A FIFO with no writer would block an ordinary open for good.
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(readFile(path));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace sonarell::plist
