// The property-list codec against an independent reader and writer, Python's plistlib (plist_oracle.py), over
// generated values of every kind and edge, in both forms and both directions.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <sstream>

#include "fuzz/lossless.h"
#include "tests/support/spawn.h"

namespace sonarell::plist {
namespace {

std::string hex(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 0xF]};
  return out;
}

// The oracle's dump (plist_oracle.py): typed, exact; reals by their bits, dates in microseconds.
std::string dump(const Value& v) {
  if (const auto* s = v.asString()) return "s" + hex(*s);
  if (const auto* b = v.asBoolean()) return *b ? "t" : "f";
  if (const auto* i = v.asInteger()) return "i" + std::to_string(*i);
  if (const auto u = v.asUnsigned()) return "i" + std::to_string(*u);
  if (const auto* r = v.asReal()) {
    if (std::isnan(*r)) return "rnan";
    char out[17];
    std::snprintf(out, sizeof out, "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(*r)));
    return std::string("r") + out;
  }
  if (const auto* d = v.asDate()) {
    const double whole = std::floor(d->seconds);
    return "d" +
           std::to_string(static_cast<long long>(whole) * 1000000 + std::llround((d->seconds - whole) * 1e6));
  }
  if (const auto* data = v.asData())
    return "b" + hex(std::string_view(reinterpret_cast<const char*>(data->bytes.data()), data->bytes.size()));
  std::string out;
  if (const auto* array = v.asArray()) {
    for (const Value& e : *array) out += (out.empty() ? "" : ",") + dump(e);
    return "[" + out + "]";
  }
  for (const auto& [key, e] : *v.asDictionary()) out += (out.empty() ? "" : ",") + hex(key) + ":" + dump(e);
  return "{" + out + "}";
}

// Scalars at the edges of every kind (within what Python's datetime holds), and keys, each marked with
// whether XML can carry it.
using Edge = std::pair<Value, bool>;

std::vector<Edge> edges() {
  const auto u8 = [](const char8_t* s) { return Value(std::string(reinterpret_cast<const char*>(s))); };
  Data bytes;
  for (int i = 0; i < 300; ++i) bytes.bytes.push_back(static_cast<std::uint8_t>(i * 7));
  using Int64Limits = std::numeric_limits<std::int64_t>;
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<Edge> all;
  const auto add = [&all](bool xml, const std::vector<Value>& values) {
    for (const Value& v : values) all.push_back({v, xml});
  };
  add(true, {Value(""), Value("<&>\"']]> plain"), Value("tab\tLF\nCR\rCRLF\r\n"), Value("  spaces around  "),
             u8(u8"中文 ɪpə \U0001F600 \uFEFF \uFDD0 \U0010FFFF"), Value(std::string(300, 'x')), Value(true),
             Value(false), Value(Data{}), Value(Data{{0}}), Value(bytes)});
  add(true, {Value(0), Value(-1), Value(255), Value(65536), Value(std::int64_t{4294967296}),
             Value(Int64Limits::max()), Value(Int64Limits::min()), Value(std::uint64_t{1} << 63),
             Value(std::numeric_limits<std::uint64_t>::max()), Value(0.0), Value(-0.0), Value(0.1),
             Value(1.0 / 3), Value(1e300), Value(5e-324), Value(inf), Value(-inf),
             Value(std::numeric_limits<double>::quiet_NaN())});
  // Before 1932 and after 2069 (outside 32-bit seconds), 4001-01-01 (the common "distant future"), 0001-01-01
  // and 9999-12-31T23:59:59.
  for (double seconds : {0.0, -2147483649.0, 2147483648.0, 63113904000.0, -63113904000.0, 252423993599.0})
    all.push_back({Value(Date{seconds}), true});
  add(false, {Value(std::string("nul\0inside", 10)), Value("bell\x07"), u8(u8"\uFFFE"),
              u8(u8"non-character \uFFFF"), Value(Date{1.5}), Value(Date{-3.125}), Value(Date{1e10 + 0.25})});
  return all;
}

const std::pair<std::string, bool> kKeys[] = {{"", true},         {"Bundle ID", true},
                                              {"<k&y>", true},    {"cr\rkey", true},
                                              {"中文", true},     {std::string("n\0l", 3), false},
                                              {"esc\x1b", false}, {"z", true}};

// A value of nested arrays and dictionaries over the edges, and whether XML can carry it.
std::pair<Value, bool> generate(std::mt19937& random, const std::vector<Edge>& pool, int depth) {
  const unsigned pick = random() % 10;
  if (depth > 3 || pick < 5) return pool[random() % pool.size()];
  bool xml = true;
  const unsigned count = random() % 5;
  Array array;
  Dictionary dictionary;
  for (unsigned i = 0; i < count; ++i) {
    auto [element, ok] = generate(random, pool, depth + 1);
    if (pick < 7) {
      array.push_back(std::move(element));
      xml = xml && ok;
    } else if (const auto& [key, keyOk] = kKeys[random() % std::size(kKeys)];
               dictionary.insert(key, element)) {
      xml = xml && ok && keyOk;
    }
  }
  return {pick < 7 ? Value(std::move(array)) : Value(std::move(dictionary)), xml};
}

TEST(PlistDifferential, AgreesWithPythonsPlistlibBothWays) {
  const test::TempDir scratch("plist-differential");
  const std::string folder = scratch.str() + "/";

  const std::vector<Edge> pool = edges();
  std::vector<Edge> cases = pool;
  std::mt19937 random(20261207);
  for (int i = 0; i < 150; ++i) cases.push_back(generate(random, pool, 0));

  std::map<std::string, std::string> expected;  // file name -> dump
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [value, xmlCarries] = cases[i];
    const std::string name = "case" + std::to_string(1000 + i);
    const auto xml = serialize(value, Format::Xml);
    const auto binary = serialize(value, Format::Binary);
    EXPECT_EQ(xml.has_value(), xmlCarries) << name << " " << dump(value);
    ASSERT_TRUE(binary) << name << " " << dump(value);
    test::writeFile(folder + name + ".bin.ours", *binary);
    expected[name + ".bin.ours"] = dump(value);
    if (xml) {
      test::writeFile(folder + name + ".xml.ours", *xml);
      expected[name + ".xml.ours"] = dump(value);
    }
  }

  const int status = test::spawnAndWait(
      {SONARELL_PYTHON3, {PLIST_ORACLE, folder}, {}, folder + "oracle.out", folder + "oracle.err", ""});
  ASSERT_EQ(status, 0) << test::readFile(folder + "oracle.err");
  std::map<std::string, std::string> oracle;
  std::istringstream lines(test::readFile(folder + "oracle.out"));
  for (std::string name, dumped; lines >> name >> dumped;) oracle[name] = dumped;

  for (const auto& [name, dumped] : expected) EXPECT_EQ(oracle[name], dumped) << name;

  // plistlib writes, the codec reads what plistlib reads and writes it back equal.
  int pythonWritten = 0;
  for (const auto& [name, dumped] : oracle) {
    if (!name.ends_with(".py")) continue;
    ++pythonWritten;
    const std::string bytes = test::readFile(folder + name);
    const auto parsed = parseWithFormat(bytes);
    // plistlib writes U+FFFE raw into XML, which no XML reader (its own included) takes.
    if (dumped == "refused") {
      EXPECT_FALSE(parsed) << name;
      continue;
    }
    ASSERT_TRUE(parsed) << name << " " << dumped;
    EXPECT_EQ(dump(parsed->value), dumped) << name;
    EXPECT_EQ(parsed->format, name.ends_with(".xml.py") ? Format::Xml : Format::Binary) << name;
    EXPECT_EQ(fuzz::losslessFault(bytes), "") << name;
  }
  EXPECT_GT(pythonWritten, static_cast<int>(cases.size()));  // both forms of most cases
}

}  // namespace
}  // namespace sonarell::plist
