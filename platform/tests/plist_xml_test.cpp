// The project's XML reader and writer: the reader takes what the platform
// writes, refuses what it cannot write back unaltered, and never guesses at a
// malformed value. (plistlib reads what is written: plist_differential_test.)

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "platform/plist/value.h"

namespace sonarell::plist {
namespace {

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
      doc("<date>4001-01-01T00:00:00Z</date>"),
      doc("<date>0001-01-01T00:00:00Z</date>"),
      doc("<date>9999-12-31T23:59:59Z</date>"),
      doc("<string>&#13;&#x9;&#xFFFD;&#x10FFFF;&#xFDD0;</string>"),
      doc("<data>AAECAw==</data>"),
      doc("<data>\n\t\tAAEC\n\t\tAw==\n\t\t</data>"),
      doc("<data>/+/+</data>"),
      doc("<data></data>"),
      doc("<array/>"),
      doc("<dict/>"),
      doc("<array>\n\t<string>a</string>\n\t<!-- skipped -->\n\t<integer>1</integer>\n\t<array/>\n</array>"),
      doc("<dict><key>zebra</key><integer>1</integer><key>apple</key><dict><key>x</key><true/></dict>"
          "<key></key><string>empty key</string><key>a&amp;b</key><false/></dict>"),
      doc("<dict><key>AppleEnabledInputSources</key><array><dict><key>InputSourceKind</key>"
          "<string>Keyboard Layout</string><key>KeyboardLayout ID</key><integer>252</integer></dict>"
          "</array></dict>"),
      "<plist version=\"1.0\"><string>no declaration</string></plist>",
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"x.dtd\">\n<plist><array><true/></array></plist>\n",
      "<string>a bare value as the document</string>",
  };
  return documents;
}

TEST(PlistXml, EveryAcceptedDocumentIsWrittenBackEqual) {
  for (const std::string& xml : corpus()) {
    const std::optional<Value> value = parse(xml);
    ASSERT_TRUE(value) << "refused: " << xml;
    const std::optional<std::string> written = toXml(*value);
    ASSERT_TRUE(written) << "not written back: " << xml;
    EXPECT_EQ(parse(*written), *value) << *written;
    EXPECT_EQ(toXml(*parse(*written)), written);
  }
  // What the values are, where a reader could plausibly go wrong.
  const struct {
    std::string xml;
    Value expected;
  } cases[] = {
      {doc("<string>cr\r\nlf\rkept&#13;</string>"), Value("cr\r\nlf\rkept\r")},
      {doc("<string>a&amp;b&lt;c&gt;d&quot;e&apos;f&#65;&#x42;</string>"), Value("a&b<c>d\"e'fAB")},
      {doc("<integer>18446744073709551615</integer>"), Value(std::numeric_limits<std::uint64_t>::max())},
      {doc("<integer>-9223372036854775808</integer>"), Value(std::numeric_limits<std::int64_t>::min())},
      {doc("<integer>0x1F</integer>"), Value(31)},
      {doc("<date>4001-01-01T00:00:00Z</date>"), Value(Date{63113904000.0})},
      {doc("<date>1901-12-13T20:45:51Z</date>"), Value(Date{-3125790849.0})},
      {doc("<real>-0.0</real>"), Value(-0.0)},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.xml), c.expected) << c.xml;
  // A carriage return is written as a reference, since XML readers turn a raw one
  // into a line feed.
  EXPECT_EQ(toXml(Value("a\rb")), doc("<string>a&#13;b</string>"));
  const auto nan = parse(doc("<real>nan</real>"));
  ASSERT_TRUE(nan && nan->isReal());
  EXPECT_TRUE(std::isnan(*nan->asReal()));
}

TEST(PlistXml, LayoutIsThePlatformsOwn) {
  const Value value = Dictionary{{"list", Value(Array{Value(Data{{0, 1, 2}}), Value(Date{0}), Value(true)})},
                                 {"empty", Value(Dictionary{})},
                                 {"n", Value(-7)}};
  EXPECT_EQ(toXml(value),
            doc("<dict>\n\t<key>list</key>\n\t<array>\n\t\t<data>\n\t\tAAEC\n\t\t</data>\n"
                "\t\t<date>2001-01-01T00:00:00Z</date>\n\t\t<true/>\n\t</array>\n"
                "\t<key>empty</key>\n\t<dict/>\n\t<key>n</key>\n\t<integer>-7</integer>\n</dict>"));
}

TEST(PlistXml, MalformedValuesAreRefusedNotGuessed) {
  // A lenient reader takes each of these as something else (0, 1970, part of the bytes,
  // a dictionary without the key); none of them is a value the file states.
  for (const char* body : {
           "<integer>12abc</integer>",
           "<integer></integer>",
           "<integer>--1</integer>",
           "<integer>99999999999999999999</integer>",
           "<integer>-9223372036854775809</integer>",
           "<integer>18446744073709551616</integer>",
           "<integer>0x</integer>",
           "<real>abc</real>",
           "<real></real>",
           "<real>1.5.2</real>",
           "<date>garbage</date>",
           "<date>2001-01-01T00:00:00</date>",
           "<date>2001-13-01T00:00:00Z</date>",
           "<date>2023-02-29T00:00:00Z</date>",
           "<date>2001-01-01T24:00:00Z</date>",
           // Not what the writer writes, so not what it could write back.
           "<date>2001-01-01T00:00:00.5Z</date>",
           "<date>0000-12-31T23:59:59Z</date>",
           "<dict><key>dup</key><integer>1</integer><key>other</key><true/><key>dup</key><integer>1</"
           "integer></dict>",
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
           doc("<string>&#xFFFE;</string>"),
           doc("<string>raw \xEF\xBF\xBF</string>"),
           doc("<string>raw \x01</string>"),
           doc("<key>raw \x1b</key>"),
           doc("<string>not UTF-8 \xff</string>"),
           doc("<string>surrogate \xED\xA0\x80</string>"),
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
