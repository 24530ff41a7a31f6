// The project's XML reader and writer checked against libplist: both read the
// same documents to equal values, libplist reads what the writer wrote, and the
// writer lays out documents as libplist does.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
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

Node libplistRead(const std::string& xml) {
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
  return Node(raw);
}

// What libplist makes of an XML document, as a Value: its tree, written in the
// binary form and read back through the binary path, which libplist still serves.
std::optional<Value> asLibplistReadsIt(const std::string& xml) {
  Node node = libplistRead(xml);
  if (!node) return std::nullopt;
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node.get(), &bytes, &length);
  std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
  return parse(std::string(bytes, length));
}

std::string libplistWrites(const std::string& xml) {
  Node node = libplistRead(xml);
  if (!node) return {};
  char* out = nullptr;
  uint32_t length = 0;
  plist_to_xml(node.get(), &out, &length);
  std::unique_ptr<char, decltype(&std::free)> owned(out, &std::free);
  return std::string(out, length);
}

std::string doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         body + "\n</plist>\n";
}

const std::vector<std::string>& corpus() {
  static const std::vector<std::string> documents{
      doc("<string>plain</string>"),
      doc("<string/>"),
      doc("<string></string>"),
      doc("<string>  spaces kept  \n\tand tabs </string>"),
      doc("<string>a&amp;b&lt;c&gt;d&quot;e&apos;f</string>"),
      doc("<string>&#65;&#x42;&#x4E2D;&#20013;</string>"),
      doc("<string>cr\r\nlf\rkept</string>"),
      doc("<string>x<![CDATA[<raw> & ]]>y</string>"),
      doc("<string>before<!-- a comment -->after</string>"),
      doc("<string>中文 ɪpə ✓</string>"),
      doc("<integer>0</integer>"),
      doc("<integer>-7</integer>"),
      doc("<integer> 42 </integer>"),
      doc("<integer>9223372036854775807</integer>"),
      doc("<integer>-9223372036854775808</integer>"),
      doc("<integer>18446744073709551615</integer>"),
      doc("<integer>0x1F</integer>"),
      doc("<real>1.5</real>"),
      doc("<real>-2.5e-300</real>"),
      doc("<real>0.10000000000000001</real>"),
      doc("<real>3</real>"),
      doc("<real>+infinity</real>"),
      doc("<real>-infinity</real>"),
      doc("<real>-inf</real>"),
      doc("<true/>"),
      doc("<false/>"),
      doc("<date>2001-01-01T00:00:00Z</date>"),
      doc("<date>2023-03-14T15:09:26Z</date>"),
      doc("<date>1999-12-31T23:59:59Z</date>"),
      doc("<date>2024-02-29T12:00:00Z</date>"),
      doc("<data>AAECAw==</data>"),
      doc("<data>\n\t\tAAEC\n\t\tAw==\n\t\t</data>"),
      doc("<data>/+/+</data>"),
      doc("<data></data>"),
      doc("<array/>"),
      doc("<dict/>"),
      doc("<array>\n\t<string>a</string>\n\t<!-- skipped -->\n\t<integer>1</integer>\n\t<array/>\n</array>"),
      doc("<dict><key>zebra</key><integer>1</integer><key>apple</key><dict><key>x</key><true/></dict>"
          "<key></key><string>empty key</string><key>a&amp;b</key><false/></dict>"),
      doc("<dict><key>dup</key><integer>1</integer><key>other</key><integer>2</integer>"
          "<key>dup</key><integer>3</integer></dict>"),
      doc("<dict><key>AppleEnabledInputSources</key><array><dict><key>InputSourceKind</key>"
          "<string>Keyboard Layout</string><key>KeyboardLayout ID</key><integer>252</integer></dict>"
          "</array></dict>"),
      "<plist version=\"1.0\"><string>no declaration</string></plist>",
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"x.dtd\">\n<plist><array><true/></array></plist>\n",
      "<string>a bare value as the document</string>",
  };
  return documents;
}

TEST(PlistXml, ReadsTheSameValuesAsLibplist) {
  for (const std::string& xml : corpus()) {
    const std::optional<Value> expected = asLibplistReadsIt(xml);
    ASSERT_TRUE(expected) << "libplist refused: " << xml;
    const std::optional<Value> ours = parse(xml);
    ASSERT_TRUE(ours) << "refused: " << xml;
    EXPECT_EQ(*ours, *expected) << xml;
    // The kind itself, not only an equal value: an integer never equals a real,
    // but a string "1" should not slip through as one either.
    EXPECT_EQ(ours->storage().index(), expected->storage().index()) << xml;
  }
  // Duplicate keys: the first place, the last value.
  const auto dup = parse(corpus()[38]);
  ASSERT_TRUE(dup && dup->isDictionary());
  EXPECT_EQ(dup->asDictionary()->begin()->first, "dup");
  EXPECT_EQ(*dup->asDictionary()->find("dup"), Value(3));
  EXPECT_EQ(*parse(doc("<integer>18446744073709551615</integer>")), Value(std::int64_t{-1}));
  // nan equals nothing, so it is looked at directly.
  const auto nan = parse(doc("<real>nan</real>"));
  ASSERT_TRUE(nan && nan->isReal());
  EXPECT_TRUE(std::isnan(*nan->asReal()));
}

Value everyKind() {
  Array strings{Value(""), Value("<&>\"'"), Value("tab\tnew\nline\rcr"), Value("中文"), Value("]]>")};
  Data bytes;
  for (int i = 0; i < 200; ++i) bytes.bytes.push_back(static_cast<std::uint8_t>(i * 7));
  return Dictionary{
      {"strings", Value(strings)},
      {"integers", Value(Array{Value(0), Value(-1), Value(std::numeric_limits<std::int64_t>::min()),
                               Value(std::numeric_limits<std::int64_t>::max())})},
      {"reals", Value(Array{Value(0.1), Value(-0.0), Value(1e300), Value(5e-324), Value(3.0), Value(-2.75),
                            Value(std::numeric_limits<double>::infinity()),
                            Value(-std::numeric_limits<double>::infinity())})},
      {"booleans", Value(Array{Value(true), Value(false)})},
      {"dates", Value(Array{Value(Date{0}), Value(Date{700000000}), Value(Date{-86400 * 366.0 - 1}),
                            Value(Date{2147483647}), Value(Date{-2147483648.0})})},
      {"data", Value(Array{Value(bytes), Value(Data{}), Value(Data{{1}}), Value(Data{{1, 2}})})},
      {"empty", Value(Array{Value(Array{}), Value(Dictionary{})})},
      {"key & <key>", Value(Dictionary{{"z", Value(1)}, {"a", Value(2)}})},
  };
}

TEST(PlistXml, LibplistReadsWhatIsWrittenToAnEqualValue) {
  const Value original = everyKind();
  const std::optional<std::string> xml = toXml(original);
  ASSERT_TRUE(xml);
  const std::optional<Value> byLibplist = asLibplistReadsIt(*xml);
  ASSERT_TRUE(byLibplist) << *xml;
  EXPECT_EQ(*byLibplist, original) << *xml;
  const std::optional<Value> byUs = parse(*xml);
  ASSERT_TRUE(byUs);
  EXPECT_EQ(*byUs, original);
  // Negative zero keeps its sign through our own reader.
  EXPECT_TRUE(std::signbit(*byUs->asDictionary()->find("reals")->asArray()->at(1).asReal()));

  // Dates are stored in whole seconds, rounded down on both sides of 2001.
  const auto dates = parse(*toXml(Value(Array{Value(Date{1.75}), Value(Date{-0.25})})));
  ASSERT_TRUE(dates);
  EXPECT_EQ(*dates, Value(Array{Value(Date{1}), Value(Date{-1})}));
}

TEST(PlistXml, LayoutIsTheOneLibplistWrites) {
  // Reals aside (libplist prints 17 digits, the writer the shortest exact form),
  // and integers above the signed range (kept as their signed bits, as before),
  // the bytes are the same.
  for (const std::string& xml : corpus()) {
    if (xml.find("<real>") != std::string::npos || xml.find("18446744073709551615") != std::string::npos) {
      continue;
    }
    const std::optional<Value> value = parse(xml);
    ASSERT_TRUE(value) << xml;
    EXPECT_EQ(toXml(*value), libplistWrites(xml)) << xml;
  }
  Array list;
  for (int i = 0; i < 50; ++i) {
    list.emplace_back(
        Dictionary{{"InputSourceKind", Value("Keyboard Layout")},
                   {"KeyboardLayout ID", Value(i - 25)},
                   {"Payload", Value(Data{std::vector<std::uint8_t>(static_cast<std::size_t>(i), 0xA5)})},
                   {"When", Value(Date{i * 1e7})}});
  }
  const std::string written = *toXml(Value(Dictionary{{"AppleEnabledInputSources", Value(list)}}));
  EXPECT_EQ(written, libplistWrites(written));
}

TEST(PlistXml, MalformedValuesAreRefusedNotGuessed) {
  // libplist reads each of these as something else (0, 1970, part of the bytes,
  // a dictionary without the key); none of them is a value the file states.
  for (const char* body : {
           "<integer>12abc</integer>",
           "<integer></integer>",
           "<integer>--1</integer>",
           "<integer>99999999999999999999</integer>",
           "<integer>-9223372036854775809</integer>",
           "<integer>0x</integer>",
           "<real>abc</real>",
           "<real></real>",
           "<real>1.5.2</real>",
           "<date>garbage</date>",
           "<date>2001-01-01T00:00:00</date>",
           "<date>2001-13-01T00:00:00Z</date>",
           "<date>2023-02-29T00:00:00Z</date>",
           "<date>2001-01-01T24:00:00Z</date>",
           "<data>AA!EC</data>",
           "<data>AAE</data>",
           "<data>A===</data>",
           "<data>AA==AA==</data>",
           "<true>yes</true>",
           "<dict><key>dangling</key></dict>",
           "<dict><integer>1</integer></dict>",
       }) {
    EXPECT_FALSE(parse(doc(body))) << body;
  }
  // Broken or foreign XML, and what a document may not hold.
  for (const std::string& xml : {
           doc("<string>a &unknown; b</string>"),
           doc("<string>a & b</string>"),
           doc("<string>&#0;</string>"),
           doc("<string>&#xD800;</string>"),
           doc("<string>&#x110000;</string>"),
           doc("<string>&#1;</string>"),
           doc("<string>a<b/>c</string>"),
           doc("<array><string>a</string>loose text<string>b</string></array>"),
           doc("<true/><false/>"),
           doc("<uid>1</uid>"),
           doc("<foo/>"),
           doc(""),
           doc("<string>unterminated"),
           doc("<dict><key>a</key><string>x</string></dict>") + "trailing text",
           doc("<string>x</string>") + "<plist><string>y</string></plist>",
           std::string("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e \"expanded\">]>"
                       "<plist><string>&e;</string></plist>"),
       }) {
    EXPECT_FALSE(parse(xml)) << xml;
  }
}

}  // namespace
}  // namespace sonarell::plist
