// Reading the XML form: pugixml builds the document (without recursion, so deep
// nesting cannot exhaust the stack), and the tree is turned into a Value here,
// with every value checked strictly. Entities are decoded here too, so that only
// XML's five predefined entities and character references are understood: a
// document's own entity declarations are never expanded.

#include <charconv>
#include <cstdint>
#include <limits>
#include <pugixml.hpp>
#include <string>

#include "platform/plist/xml.h"
#include "platform/unicode/utf8.h"

namespace sonarell::plist::xml {
namespace {

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isXmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool isBlank(std::string_view text) { return trimmed(text).empty(); }

// A character reference's code point, when it names a character XML 1.0 allows.
bool decodeReference(std::string_view body, std::string& out) {
  int base = 10;
  if (!body.empty() && body.front() == 'x') {
    base = 16;
    body.remove_prefix(1);
  }
  std::uint32_t cp = 0;
  const auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), cp, base);
  if (body.empty() || error != std::errc() || end != body.data() + body.size()) return false;
  const bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                       (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
  if (!allowed) return false;
  unicode::appendUtf8(out, cp);
  return true;
}

// Character data with its entities replaced; false for an entity XML does not predefine.
bool appendDecoded(std::string_view raw, std::string& out) {
  out.reserve(out.size() + raw.size());
  for (;;) {
    const std::size_t amp = raw.find('&');
    out.append(raw.substr(0, amp));
    if (amp == std::string_view::npos) return true;
    raw.remove_prefix(amp + 1);
    const std::size_t semicolon = raw.find(';');
    if (semicolon == std::string_view::npos) return false;
    const std::string_view name = raw.substr(0, semicolon);
    raw.remove_prefix(semicolon + 1);
    if (name == "amp") {
      out += '&';
    } else if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "quot") {
      out += '"';
    } else if (name == "apos") {
      out += '\'';
    } else if (name.starts_with('#')) {
      if (!decodeReference(name.substr(1), out)) return false;
    } else {
      return false;
    }
  }
}

// The text of an element that holds only character data (and comments, which the
// parser already dropped); none when it holds an element.
std::optional<std::string> textOf(pugi::xml_node node) {
  std::string text;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    switch (child.type()) {
      case pugi::node_pcdata:
        if (!appendDecoded(child.value(), text)) return std::nullopt;
        break;
      case pugi::node_cdata:
        text += child.value();
        break;
      default:
        return std::nullopt;
    }
  }
  return text;
}

std::optional<Value> integerOf(std::string_view text) {
  text = trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative) {
    constexpr auto kMinMagnitude = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    if (magnitude > kMinMagnitude) return std::nullopt;
    return Value(static_cast<std::int64_t>(0 - magnitude));
  }
  return Value(magnitude);
}

std::optional<Value> realOf(std::string_view text) {
  text = trimmed(text);
  if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
  double d = 0;
  // Also reads "nan", "inf" and "infinity" in any case, which is how the platform
  // writes the values that have no digits.
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return Value(d);
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool readDigits(std::string_view& text, std::size_t count, unsigned& out) {
  if (text.size() < count) return false;
  out = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + static_cast<unsigned>(text[i] - '0');
  }
  text.remove_prefix(count);
  return true;
}

bool expect(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

// YYYY-MM-DDTHH:MM:SSZ from the year 0001: exactly what the writer writes. A
// fraction of a second is refused, since it could not be written back.
std::optional<Value> dateOf(std::string_view text) {
  text = trimmed(text);
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, 4, year) || !expect(text, '-') || !readDigits(text, 2, month) || !expect(text, '-') ||
      !readDigits(text, 2, day) || !expect(text, 'T') || !readDigits(text, 2, hour) || !expect(text, ':') ||
      !readDigits(text, 2, minute) || !expect(text, ':') || !readDigits(text, 2, second)) {
    return std::nullopt;
  }
  if (text != "Z" || year == 0) return std::nullopt;
  static constexpr unsigned kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > kDaysInMonth[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  constexpr std::int64_t kDaysFrom1970To2001 = 11323;
  const std::int64_t days = daysFromCivil(year, month, day) - kDaysFrom1970To2001;
  const std::int64_t whole = days * 86400 + hour * 3600 + minute * 60 + second;
  return Value(Date{static_cast<double>(whole)});
}

int base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Base64 with any XML white space between the characters, padded to whole groups.
std::optional<Value> dataOf(std::string_view text) {
  Data data;
  data.bytes.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  int inGroup = 0;
  int padding = 0;
  for (char c : text) {
    if (isXmlSpace(c)) continue;
    if (c == '=') {
      // Padding only completes the last group, after at least two digits.
      if (inGroup < 2) return std::nullopt;
      ++padding;
      ++inGroup;
    } else {
      const int digit = base64Digit(c);
      if (digit < 0 || padding > 0) return std::nullopt;
      group = (group << 6) | static_cast<std::uint32_t>(digit);
      ++inGroup;
    }
    if (inGroup == 4) {
      group <<= 6 * padding;
      data.bytes.push_back(static_cast<std::uint8_t>(group >> 16));
      if (padding < 2) data.bytes.push_back(static_cast<std::uint8_t>(group >> 8));
      if (padding < 1) data.bytes.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      inGroup = 0;
      if (padding > 0) padding = 3;  // nothing may follow a padded group
    }
  }
  if (inGroup != 0) return std::nullopt;
  return Value(std::move(data));
}

bool onlyBlankText(pugi::xml_node node) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_pcdata || !isBlank(child.value())) return false;
  }
  return true;
}

// The element children of a container, or false when it holds text or CDATA.
template <typename Visit>
bool forEachElement(pugi::xml_node node, Visit&& visit) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element) {
      if (!visit(child)) return false;
    } else if (child.type() != pugi::node_pcdata || !isBlank(child.value())) {
      return false;
    }
  }
  return true;
}

std::optional<Value> valueOf(pugi::xml_node node, int depth);

std::optional<Value> arrayOf(pugi::xml_node node, int depth) {
  Array array;
  const bool ok = forEachElement(node, [&](pugi::xml_node child) {
    auto element = valueOf(child, depth + 1);
    if (!element) return false;
    array.push_back(std::move(*element));
    return true;
  });
  if (!ok) return std::nullopt;
  return Value(std::move(array));
}

// Keys and values alternate; a key without a value or a value without a key is
// refused, and so is a key held twice: keeping either value would silently lose
// the other.
std::optional<Value> dictionaryOf(pugi::xml_node node, int depth) {
  Dictionary dictionary;
  std::size_t elements = 0;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    elements += child.type() == pugi::node_element;
  }
  dictionary.reserve(elements / 2);
  std::optional<std::string> key;
  const bool ok = forEachElement(node, [&](pugi::xml_node child) {
    if (!key) {
      if (std::string_view(child.name()) != "key") return false;
      key = textOf(child);
      return key.has_value();
    }
    auto value = valueOf(child, depth + 1);
    if (!value) return false;
    const bool added = dictionary.insert(std::move(*key), std::move(*value));
    key.reset();
    return added;
  });
  if (!ok || key) return std::nullopt;
  return Value(std::move(dictionary));
}

std::optional<Value> valueOf(pugi::xml_node node, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  const std::string_view name = node.name();
  if (name == "dict") return dictionaryOf(node, depth);
  if (name == "array") return arrayOf(node, depth);
  if (name == "true" || name == "false") {
    if (!onlyBlankText(node)) return std::nullopt;
    return Value(name == "true");
  }
  // A key where a value belongs reads as a string, as the platform's reader takes it.
  const bool isString = name == "string" || name == "key";
  if (!isString && name != "integer" && name != "real" && name != "date" && name != "data") {
    return std::nullopt;
  }
  std::optional<std::string> text = textOf(node);
  if (!text) return std::nullopt;
  if (isString) return Value(std::move(*text));
  if (name == "integer") return integerOf(*text);
  if (name == "real") return realOf(*text);
  if (name == "date") return dateOf(*text);
  return dataOf(*text);
}

}  // namespace

bool onlyXmlCharacters(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    if (*p >= 0x20 && *p < 0x80) {
      ++p;
      continue;
    }
    const std::optional<char32_t> cp = unicode::decodeUtf8(p, end);
    if (!cp || (*cp < 0x20 && *cp != '\t' && *cp != '\n' && *cp != '\r') || *cp == 0xFFFE || *cp == 0xFFFF)
      return false;
  }
  return true;
}

std::optional<Value> parse(std::string_view bytes) {
  if (!onlyXmlCharacters(bytes)) return std::nullopt;
  pugi::xml_document document;
  // No entity or end-of-line translation by the parser (both happen above, or not
  // at all: a carriage return in a string is kept as the platform keeps it); keep
  // white space, which is a string's content; CDATA sections are character data.
  // Parsed as a fragment so that text outside the document element is seen (and
  // refused below) rather than dropped.
  constexpr unsigned kOptions = pugi::parse_cdata | pugi::parse_ws_pcdata | pugi::parse_fragment;
  const pugi::xml_parse_result result =
      document.load_buffer(bytes.data(), bytes.size(), kOptions, pugi::encoding_utf8);
  if (!result) return std::nullopt;

  pugi::xml_node root;
  for (pugi::xml_node child = document.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element) {
      if (root) return std::nullopt;  // one document element only
      root = child;
    } else if (child.type() != pugi::node_pcdata || !isBlank(child.value())) {
      return std::nullopt;
    }
  }
  if (!root) return std::nullopt;
  if (std::string_view(root.name()) != "plist") return valueOf(root, 0);
  // <plist> holds exactly one value.
  pugi::xml_node value;
  const bool single = forEachElement(root, [&](pugi::xml_node child) {
    if (value) return false;
    value = child;
    return true;
  });
  if (!single || !value) return std::nullopt;
  return valueOf(value, 0);
}

}  // namespace sonarell::plist::xml
