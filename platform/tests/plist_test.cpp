// The property-list value and codec: equality and copies of values, what the readers accept (read exactly and
// written back unaltered in their form, checked by the fuzzers' promise), what they refuse, and the XML
// writer's layout. (plistlib reads what is written: plist_differential_test.)

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <limits>

#include "fuzz/lossless.h"
#include "tests/support/scratch.h"

namespace sonarell::plist {
namespace {

using test::xmlPlist;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();

Value nested(int depth) {
  Value v = Array{};
  for (int i = 0; i < depth; ++i) v = Value(Array{std::move(v)});
  return v;
}

// Integers compare by value whatever their form, reals and dates as numbers with a NaN equal to a NaN (a
// value read twice from one file must compare equal), dictionaries by keys whatever their order. Copies share
// their entries until one side changes; a change must never show through another copy.
TEST(PlistValue, EqualityIsByValueAndCopiesChangeIndependently) {
  const struct {
    Value a, b;
    bool equal;
  } cases[] = {{Value(std::uint64_t{5}), Value(5), true},
               {Value(kTop), Value(-1), false},
               {Value(kTop), Value(kTop), true},
               {Value(std::uint64_t{1} << 63), Value(kMin), false},
               {Value(kNaN), Value(kNaN), true},
               {Value(Date{kNaN}), Value(Date{kNaN}), true},
               {Value(Array{Value(kNaN)}), Value(Array{Value(kNaN)}), true},
               {Value(1.0), Value(1), false},
               {Value(Date{1.5}), Value(Date{1}), false},
               {Value(Dictionary{{"a", 1}, {"b", 2}}), Value(Dictionary{{"b", 2}, {"a", 1}}), true},
               {Value(Dictionary{{"a", 1}}), Value(Dictionary{{"a", 2}}), false}};
  for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal) << &c - cases;

  const Dictionary original{{"Bundle ID", "org.example.a"}, {"Input Mode", "x"}};
  Dictionary viaSet = original, viaFind = original, viaErase = original;
  Array list{Value(original), Value(original)};
  Array listCopy = list;
  viaSet.set("Bundle ID", "org.example.b");
  *viaFind.find("Input Mode") = Value("y");
  EXPECT_TRUE(viaErase.erase("Input Mode"));
  listCopy[1].asDictionary()->set("Extra", 1);
  EXPECT_EQ(original, (Dictionary{{"Bundle ID", "org.example.a"}, {"Input Mode", "x"}}));
  EXPECT_EQ(viaSet, (Dictionary{{"Bundle ID", "org.example.b"}, {"Input Mode", "x"}}));
  EXPECT_EQ(viaFind, (Dictionary{{"Bundle ID", "org.example.a"}, {"Input Mode", "y"}}));
  EXPECT_EQ(viaErase, (Dictionary{{"Bundle ID", "org.example.a"}}));
  EXPECT_EQ(list[1], Value(original));
  EXPECT_NE(listCopy[1], list[1]);
  EXPECT_TRUE(viaErase.erase("Bundle ID"));
  EXPECT_EQ(viaErase, Dictionary{});
}

// Large dictionaries are indexed: every key found after inserts, erasures and copies, in insertion order, and
// a key never held twice.
TEST(PlistValue, IndexedDictionaryFindsEveryKey) {
  Dictionary d;
  for (int i = 0; i < 2000; ++i) EXPECT_TRUE(d.insert("k" + std::to_string(i), Value(i)));
  EXPECT_FALSE(d.insert("k7", Value(0)));
  const Dictionary copy = d;
  for (int i = 0; i < 2000; i += 3) EXPECT_TRUE(d.erase("k" + std::to_string(i)));
  d.set("k1", Value(-1));
  d.set("new", Value(true));
  for (int i = 0; i < 2000; ++i) {
    const Value* v = d.find("k" + std::to_string(i));
    EXPECT_EQ(v ? std::optional<Value>(*v) : std::nullopt,
              i % 3 == 0 ? std::nullopt : std::optional<Value>(i == 1 ? -1 : i))
        << i;
    EXPECT_EQ(*copy.find("k" + std::to_string(i)), Value(i));
  }
  EXPECT_EQ(d.size(), 2000u - 667u + 1u);
  EXPECT_EQ(std::prev(d.end())->first, "new");
  EXPECT_EQ(d.begin()->first, "k1");
}

// Values beyond what the differential test's oracle can hold: dates far outside 32-bit seconds and Python's
// years, non-finite dates, the deepest nesting.
TEST(PlistCodec, ValuesBeyondTheOracleAreWrittenBackEqualInTheirForm) {
  Dictionary wide;
  for (int i = 0; i < 100000; ++i) wide.set("key " + std::to_string(i), Value(i));
  const struct {
    Value value;
    bool xml;
  } cases[] = {{Value(Date{1e15}), false},
               {Value(Date{-1e15 - 0.5}), false},
               {Value(Date{kInf}), false},
               {Value(Date{kNaN}), false},
               {Value(Date{-0.25}), false},
               {Value(Date{-63113904001.0}), false},  // the last second of the year 0
               {Value(Date{252423993600.0}), false},  // 10000-01-01
               {nested(kMaxDepth), true},
               {Value(wide), true}};
  for (const auto& c : cases) {
    for (Format form : {Format::Binary, Format::Xml}) {
      const auto bytes = serialize(c.value, form);
      ASSERT_EQ(bytes.has_value(), form == Format::Binary || c.xml) << &c - cases;
      if (!bytes) continue;
      const auto parsed = parseWithFormat(*bytes);
      ASSERT_TRUE(parsed);
      EXPECT_EQ(parsed->format, form);
      EXPECT_EQ(parsed->value, c.value);
      EXPECT_EQ(fuzz::losslessFault(*bytes), "") << &c - cases;  // nothing drifts, not even -0 or a NaN
    }
  }
  // Deeper than the readers accept is not written either.
  for (Format form : {Format::Binary, Format::Xml}) EXPECT_FALSE(serialize(nested(kMaxDepth + 1), form));
  EXPECT_FALSE(serialize(Value("\xff\xfe"), Format::Binary));  // no UTF-8, no binary form
}

std::string bigEndian(std::uint64_t v, int size) {
  std::string out(static_cast<std::size_t>(size), '\0');
  for (int i = size - 1; i >= 0; --i, v >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
  return out;
}

// A trailer: two-byte references, eight-byte offsets, object 0 on top.
std::string trailer(std::uint64_t count, std::uint64_t table, char refSize = 2) {
  return std::string(6, '\0') + '\x08' + refSize + bigEndian(count, 8) + bigEndian(0, 8) +
         bigEndian(table, 8);
}

// A binary property list of raw objects; `end` may replace the computed trailer.
std::string binaryOf(const std::vector<std::string>& objects, const std::string& end = {}) {
  std::string data = "bplist00", offsets;
  for (const auto& object : objects) {
    offsets += bigEndian(data.size(), 8);
    data += object;
  }
  return data + offsets + (end.empty() ? trailer(objects.size(), data.size()) : end);
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

// `depth` arrays each holding the next, and an empty one; with `shared`, object 0 reaches that chain directly
// and again through object 1, one level deeper.
std::vector<std::string> chain(int depth, bool shared = false) {
  std::vector<std::string> objects;
  if (shared) objects = {array({2, 1}), array({2})};
  const int first = shared ? 2 : 0;
  for (int i = 0; i < depth; ++i) objects.push_back(array({std::uint16_t(first + i + 1)}));
  objects.push_back(array({}));
  return objects;
}

// Two objects, one offset: the second would be read from the trailer's first (unused) byte, which names the
// string.
std::string shortOffsetTable() {
  return "bplist00" + std::string("\xA1\x01", 2) + ascii("x") + "\x08" + "\x0A" + std::string(5, '\0') +
         "\x01\x01" + bigEndian(2, 8) + bigEndian(0, 8) + bigEndian(12, 8);
}

// An array of 2^63 + 1 two-byte references, which times two wraps to 2. Were the count believed, its
// references would run on through the offset table and the trailer, each naming a string (all of the 65,536
// objects but the array lie at the string's offset), and on past the end.
std::string wrappingArray() {
  std::string table;
  for (int i = 0; i < 65536; ++i) table += bigEndian(i == 257 ? 10 : 8, 2);
  const std::string head =
      "bplist00" + ascii("x") + "\xAF\x13" + bigEndian((1ull << 63) + 1, 8) + std::string(3, '\0');
  return head + table + std::string(6, '\0') + "\x02\x02" + bigEndian(65536, 8) + bigEndian(257, 8) +
         bigEndian(head.size(), 8);
}

// Parsed where the bytes end at unreadable memory, so that any read past them faults.
std::optional<Parsed> parseAtTheEdge(const std::string& bytes) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)),
             span = (bytes.size() / page + 1) * page;
  void* map = ::mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED || ::mprotect(static_cast<char*>(map) + span, page, PROT_NONE) != 0)
    throw std::bad_alloc();
  char* at = static_cast<char*>(map) + span - bytes.size();
  std::copy(bytes.begin(), bytes.end(), at);
  auto parsed = parseWithFormat(std::string_view(at, bytes.size()));
  ::munmap(map, span + page);
  return parsed;
}

TEST(PlistCodec, HostileBinaryInputIsRefusedOrReadExactly) {
  const std::string valid = binaryOf({array({1}), ascii("x")});
  Value leaves = Value("leaf");
  for (int i = 0; i < 10; ++i) leaves = Value(Array{leaves, leaves});
  const struct {
    const char* name;
    std::string bytes;
    std::optional<Value> expected;  // none: refused
  } cases[] = {
      {"valid", valid, Value(Array{Value("x")})},
      {"NUL in a UTF-16 key", binaryOf({dict({1, 2}), std::string("\x62\0\0\0k", 5), ascii("v")}),
       Value(Dictionary{{std::string("\0k", 2), Value("v")}})},
      {"lone surrogate", binaryOf({std::string("\x61\xD8\x3D", 3)}), std::nullopt},
      {"ASCII above 0x7F", binaryOf({ascii("\x80")}), std::nullopt},
      {"16-byte integer over 64 bits", binaryOf({"\x14" + bigEndian(1, 8) + bigEndian(0, 8)}), std::nullopt},
      {"4-byte real", binaryOf({std::string("\x22\x3F\xC0\x00\x00", 5)}), Value(1.5)},
      {"self-reference", binaryOf({array({0})}), std::nullopt},
      {"cycle through a dictionary", binaryOf({array({1}), dict({2, 0}), ascii("k")}), std::nullopt},
      {"2^10 leaves through sharing", binaryOf(doubling(10)), leaves},
      {"2^20 leaves through sharing", binaryOf(doubling(20)), std::nullopt},
      {"nesting at the limit", binaryOf(chain(kMaxDepth)), nested(kMaxDepth)},
      {"nesting beyond it", binaryOf(chain(kMaxDepth + 1)), std::nullopt},
      {"nesting beyond it through a shared object", binaryOf(chain(kMaxDepth - 1, true)), std::nullopt},
      {"shared object within the limit", binaryOf(chain(kMaxDepth - 2, true)),
       Value(Array{nested(kMaxDepth - 2), Value(Array{nested(kMaxDepth - 2)})})},
      {"duplicate key", binaryOf({dict({1, 1, 2, 2}), ascii("k"), ascii("v")}), std::nullopt},
      {"key that is no string", binaryOf({dict({1, 1}), std::string("\x10\x07", 2)}), std::nullopt},
      {"UID", binaryOf({std::string("\x80\x01", 2)}), std::nullopt},
      {"set", binaryOf({std::string("\xC0", 1)}), std::nullopt},
      {"null", binaryOf({std::string("\x00", 1)}), std::nullopt},
      {"reference out of range", binaryOf({array({9})}), std::nullopt},
      {"truncated trailer", valid.substr(0, valid.size() - 1), std::nullopt},
      {"header alone", "bplist00", std::nullopt},
      {"zeros", std::string("bplist00\0\0\0\0\0\0\0\0", 16), std::nullopt},
      {"reference size 0", binaryOf({array({})}, trailer(1, 9, '\0')), std::nullopt},
      {"offset table past the end", binaryOf({array({})}, trailer(1, 99)), std::nullopt},
      {"huge object count", binaryOf({array({})}, trailer(1ull << 62, 9)), std::nullopt},
      {"huge array count", binaryOf({container(0xA, {0}, std::size_t{1} << 62)}), std::nullopt},
      {"huge string count", binaryOf({"\x5F\x13" + bigEndian(~0ull >> 1, 8) + "abc"}), std::nullopt},
      {"offset into its own table", "bplist00" + array({}) + bigEndian(9, 8) + trailer(1, 9), std::nullopt},
      {"more objects than the offset table holds", shortOffsetTable(), std::nullopt},
      {"more objects than eight-byte offsets fit", binaryOf({array({})}, trailer(8, 9)), std::nullopt},
      {"references whose count times their size wraps", wrappingArray(), std::nullopt},
  };
  for (const auto& c : cases) {
    const auto parsed = parseAtTheEdge(c.bytes);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->value, *c.expected) << c.name;
    EXPECT_EQ(parsed->format, Format::Binary);
    EXPECT_EQ(fuzz::losslessFault(c.bytes), "") << c.name;
  }
  // A megabyte of references to one long string: refused by the expansion bound (it would take a gigabyte),
  // not built.
  std::vector<std::uint16_t> refs(500000, 1);
  EXPECT_FALSE(parse(binaryOf({array(refs), "\x5F\x11\x04\x00" + std::string(1024, 's')})));
}

// The reader takes what the platform writes, with the values stated where a reader could plausibly go wrong;
// what plistlib writes is read in plist_differential_test.
TEST(PlistXml, EveryAcceptedDocumentIsReadExactlyAndWrittenBackEqual) {
  const struct {
    std::string body;  // wrapped by xmlPlist()
    Value expected;
  } cases[] = {
      {"<string>cr\r\nlf\rkept&#13;</string>", Value("cr\r\nlf\rkept\r")},
      {"<string>a&amp;b&lt;c&gt;d&quot;e&apos;f&#65;&#x42;</string>", Value("a&b<c>d\"e'fAB")},
      {"<integer> 42 </integer>", Value(42)},
      {"<integer>0x1F</integer>", Value(31)},
      {"<real>+infinity</real>", Value(kInf)},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(xmlPlist(c.body)), c.expected) << c.body;
  // Grouped by kind; wrapped by xmlPlist() unless they are whole documents already.
  const std::vector<std::vector<std::string>> accepted{
      {"<string/>", "<string>&#x4E2D;&#20013;</string>", "<string>x<![CDATA[<raw> & ]]>y</string>",
       "<string>before<!-- a comment -->after</string>",
       "<string>&#13;&#x9;&#xFFFD;&#x10FFFF;&#xFDD0;</string>"},
      {"<real>0.10000000000000001</real>", "<real>3</real>", "<real>-infinity</real>", "<true/>", "<false/>",
       "<date>2024-02-29T12:00:00Z</date>", "<data></data>", "<array/>", "<dict/>",
       "<array>\n\t<string>a</string>\n\t<!-- skipped -->\n\t<integer>1</integer>\n\t<array/>\n</array>",
       "<dict><key>zebra</key><integer>1</integer><key>apple</key><dict><key>x</key><true/></dict><key></key>"
       "<string>empty key</string><key>a&amp;b</key><false/></dict>"},
      {"<plist version=\"1.0\"><string>no declaration</string></plist>",
       "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"x.dtd\">\n<plist><array><true/></array></plist>\n",
       "<string>a bare value as the document</string>"}};
  for (const auto& group : accepted) {
    for (const std::string& body : group) {
      const std::string xml = &group == &accepted.back() ? body : xmlPlist(body);
      EXPECT_TRUE(parse(xml)) << "refused: " << xml;
      EXPECT_EQ(fuzz::losslessFault(xml), "") << xml;
    }
  }
  for (const auto& c : cases) EXPECT_EQ(fuzz::losslessFault(xmlPlist(c.body)), "") << c.body;
}

TEST(PlistXml, LayoutIsThePlatformsOwn) {
  const Value value = Dictionary{{"list", Value(Array{Value(Data{{0, 1, 2}}), Value(Date{0}), Value(true)})},
                                 {"empty", Value(Dictionary{})},
                                 {"n", Value(-7)},
                                 {"cr", Value("a\rb")}};  // a reference: XML readers turn a raw one into LF
  EXPECT_EQ(toXml(value),
            xmlPlist("<dict>\n\t<key>list</key>\n\t<array>\n\t\t<data>\n\t\tAAEC\n\t\t</data>\n"
                     "\t\t<date>2001-01-01T00:00:00Z</date>\n\t\t<true/>\n\t</array>\n\t<key>empty</key>\n"
                     "\t<dict/>\n\t<key>n</key>\n\t<integer>-7</integer>\n\t<key>cr</key>\n"
                     "\t<string>a&#13;b</string>\n</dict>"));
}

TEST(PlistXml, MalformedValuesAndForeignXmlAreRefusedNotGuessed) {
  // A lenient reader takes many of these as something else (0, 1970, part of the bytes, a dictionary without
  // the key); none of them is a value the file states, or one the writer could write back (a fractional date,
  // the year 0).
  for (const auto& group : std::vector<std::vector<std::string>>{
           {"<integer>12abc</integer>", "<integer></integer>", "<integer>--1</integer>",
            "<integer>0x</integer>", "<integer>99999999999999999999</integer>",
            "<integer>-9223372036854775809</integer>", "<integer>18446744073709551616</integer>",
            "<real>abc</real>", "<real></real>", "<real>1.5.2</real>"},
           {"<date>garbage</date>", "<date>2001-01-01T00:00:00</date>", "<date>2001-13-01T00:00:00Z</date>",
            "<date>2023-02-29T00:00:00Z</date>", "<date>2001-01-01T24:00:00Z</date>",
            "<date>2001-01-01T00:00:00.5Z</date>", "<date>0000-12-31T23:59:59Z</date>"},
           {"<data>AA!EC</data>", "<data>AAE</data>", "<data>A===</data>", "<data>AA==AA==</data>",
            "<true>yes</true>", "<dict><key>dangling</key></dict>", "<dict><integer>1</integer></dict>",
            "<true/><false/>", "<uid>1</uid>", "<foo/>", "", "<string>unterminated",
            "<array><string>a</string>loose text<string>b</string></array>"},
           {"<string>a &unknown; b</string>", "<string>a & b</string>", "<string>&#0;</string>",
            "<string>&#xD800;</string>", "<string>&#x110000;</string>", "<string>&#1;</string>",
            "<string>&#xFFFE;</string>", "<string>raw \xEF\xBF\xBF</string>", "<string>raw \x01</string>",
            "<key>raw \x1b</key>", "<string>not UTF-8 \xff</string>",
            "<string>surrogate \xED\xA0\x80</string>", "<string>overlong \xE0\x80\xAF</string>",
            "<string>a<b/>c</string>"}}) {
    for (const std::string& body : group) EXPECT_FALSE(parse(xmlPlist(body))) << body;
  }
  for (const std::string& bytes :
       {std::string(), std::string("   \n"), std::string("garbage bytes \x01\x02\xff"),
        std::string("<html><body>not a plist</body></html>"),
        std::string(
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>x</string><key>b"),
        xmlPlist("<dict><key>a</key><string>x</string></dict>") + "trailing text",
        xmlPlist("<string>x</string>") + "<plist><string>y</string></plist>",
        xmlPlist("<dict><key>dup</key><integer>1</integer><key>other</key><true/><key>dup</key><integer>1</"
                 "integer></dict>"),
        std::string("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e \"expanded\">]>"
                    "<plist><string>&e;</string></plist>")})
    EXPECT_FALSE(parse(bytes)) << bytes;
}

TEST(PlistCodec, ReadFileReadsWholeRegularFilesOnly) {
  const test::TempDir dir("plist-read");
  const std::string path = dir.str() + "/list.plist";
  Array big;
  for (int i = 0; i < 20000; ++i) big.emplace_back("entry number " + std::to_string(i));
  test::writeFile(path, *toXml(Value(big)));
  ASSERT_GT(std::filesystem::file_size(path), 65536u * 4);  // more than one read's worth
  EXPECT_EQ(readFile(path), Value(big));
  EXPECT_FALSE(readFile(dir.str() + "/missing"));
  EXPECT_FALSE(readFile(dir.str()));  // a folder
  // A FIFO with no writer would block an ordinary open for good.
  ASSERT_EQ(::mkfifo((dir.str() + "/fifo").c_str(), 0600), 0);
  EXPECT_FALSE(readFile(dir.str() + "/fifo"));
}

}  // namespace
}  // namespace sonarell::plist
