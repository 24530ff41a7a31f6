// Writing the XML form straight from a Value, in the layout the platform writes:
// one element per line, indented with tabs, dates in whole seconds, data as
// base64 in lines that shorten with the depth. Whatever standard XML reader
// takes the result must read the value written, so what XML cannot carry
// (characters outside XML 1.0, dates with a fraction or beyond four-digit
// years) makes the whole write fail instead of being altered.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <variant>

#include "platform/plist/xml.h"

namespace sonarell::plist::xml {
namespace {

constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr std::string_view kFooter = "</plist>\n";

enum class ByteClass : unsigned char { Plain, High, Control, Escape };

constexpr auto kByteClass = [] {
  std::array<ByteClass, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    classes[static_cast<std::size_t>(c)] = c >= 0x80                                       ? ByteClass::High
                                           : c == '&' || c == '<' || c == '>' || c == '\r' ? ByteClass::Escape
                                           : c < 0x20 && c != '\t' && c != '\n' && c != '\r'
                                               ? ByteClass::Control
                                               : ByteClass::Plain;
  }
  return classes;
}();

// The estimate below recurses, so the nesting is checked first (without recursion
// beyond the limit).
bool depthWithin(const Value& v, int depth) {
  if (depth > kMaxDepth) return false;
  if (const auto* array = v.asArray()) {
    for (const Value& element : *array) {
      if (!depthWithin(element, depth + 1)) return false;
    }
  } else if (const auto* dictionary = v.asDictionary()) {
    for (const auto& entry : *dictionary) {
      if (!depthWithin(entry.second, depth + 1)) return false;
    }
  }
  return true;
}

// About the length of the document, so that a long one is not copied again and
// again while it grows (each move of a large buffer also touches fresh pages).
std::size_t estimatedLength(const Value& v, std::size_t depth) {
  constexpr std::size_t kElement = 24;  // tags, line end, a short scalar
  std::size_t length = depth + kElement;
  if (const auto* s = v.asString()) return length + s->size();
  if (const auto* d = v.asData()) return length + (d->bytes.size() / 3 + 1) * 4 * 2;
  if (const auto* array = v.asArray()) {
    for (const Value& element : *array) length += estimatedLength(element, depth + 1);
  } else if (const auto* dictionary = v.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      length += depth + 1 + kElement + key.size() + estimatedLength(element, depth + 1);
    }
  }
  return length;
}

class Writer {
 public:
  explicit Writer(const Value& root) {
    out_.reserve(kHeader.size() + estimatedLength(root, 0) + kFooter.size());
    out_.append(kHeader);
  }

  bool value(const Value& v, int depth) {
    if (depth > kMaxDepth) return false;
    return std::visit([&](const auto& x) { return write(x, depth); }, v.storage());
  }

  std::string take() { return std::move(out_); }

 private:
  void indent(int depth) { out_.append(static_cast<std::size_t>(depth), '\t'); }

  // One pass: escapes &, <, > and carriage returns (which XML readers would
  // otherwise turn into line feeds), refuses control characters, and leaves the
  // UTF-8 check to the strings that are not plain ASCII.
  bool escaped(std::string_view s) {
    bool ascii = true;
    std::size_t start = 0;
    const std::size_t size = s.size();
    for (std::size_t i = 0; i < size; ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      switch (kByteClass[c]) {
        case ByteClass::Plain:
          continue;
        case ByteClass::High:
          ascii = false;
          continue;
        case ByteClass::Control:
          return false;
        default:
          out_.append(s.data() + start, i - start);
          out_.append(c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : "&#13;");
          start = i + 1;
      }
    }
    out_.append(s.data() + start, size - start);
    return ascii || onlyXmlCharacters(s);
  }

  bool textElement(std::string_view tag, std::string_view text, int depth) {
    indent(depth);
    out_ += '<';
    out_.append(tag);
    out_ += '>';
    if (!escaped(text)) return false;
    out_.append("</");
    out_.append(tag);
    out_.append(">\n");
    return true;
  }

  bool write(const std::string& s, int depth) { return textElement("string", s, depth); }

  bool write(std::int64_t i, int depth) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, i).ptr;
    return textElement("integer", std::string_view(digits, static_cast<std::size_t>(end - digits)), depth);
  }

  bool write(const UnsignedInteger& u, int depth) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, u.value).ptr;
    return textElement("integer", std::string_view(digits, static_cast<std::size_t>(end - digits)), depth);
  }

  bool write(double d, int depth) {
    if (std::isnan(d)) return textElement("real", "nan", depth);
    if (std::isinf(d)) return textElement("real", d > 0 ? "+infinity" : "-infinity", depth);
    // The shortest form that reads back as the same double.
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, d).ptr;
    return textElement("real", std::string_view(digits, static_cast<std::size_t>(end - digits)), depth);
  }

  bool write(bool b, int depth) {
    indent(depth);
    out_.append(b ? "<true/>\n" : "<false/>\n");
    return true;
  }

  // Whole seconds, as the format stores them, in the years 0001 to 9999 that
  // its four digits spell (the reader takes the same range).
  bool write(const Date& date, int depth) {
    if (!(date.seconds >= kFirstXmlDate && date.seconds <= kLastXmlDate)) return false;  // also NaN
    const double whole = std::floor(date.seconds);
    if (whole != date.seconds) return false;
    constexpr std::int64_t kSecondsFrom1970To2001 = 978307200;
    const std::int64_t unix = static_cast<std::int64_t>(whole) + kSecondsFrom1970To2001;
    std::int64_t days = unix / 86400;
    std::int64_t rest = unix % 86400;
    if (rest < 0) {
      rest += 86400;
      --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2);
    char text[40];
    const int length =
        std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                      static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                      static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return textElement("date", std::string_view(text, static_cast<std::size_t>(length)), depth);
  }

  bool write(const Data& data, int depth) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Lines shorten with the indentation, to 16 characters at the least.
    const std::size_t line = static_cast<std::size_t>(std::max(16, 76 - 8 * depth));
    indent(depth);
    out_.append("<data>\n");
    std::string encoded;
    encoded.reserve((data.bytes.size() + 2) / 3 * 4);
    const auto& b = data.bytes;
    for (std::size_t i = 0; i < b.size(); i += 3) {
      const std::size_t n = std::min<std::size_t>(3, b.size() - i);
      const std::uint32_t group = (std::uint32_t{b[i]} << 16) | (n > 1 ? std::uint32_t{b[i + 1]} << 8 : 0) |
                                  (n > 2 ? std::uint32_t{b[i + 2]} : 0);
      encoded += kDigits[(group >> 18) & 0x3F];
      encoded += kDigits[(group >> 12) & 0x3F];
      encoded += n > 1 ? kDigits[(group >> 6) & 0x3F] : '=';
      encoded += n > 2 ? kDigits[group & 0x3F] : '=';
    }
    for (std::size_t at = 0; at < encoded.size(); at += line) {
      indent(depth);
      out_.append(encoded, at, line);
      out_ += '\n';
    }
    indent(depth);
    out_.append("</data>\n");
    return true;
  }

  bool write(const Array& array, int depth) {
    indent(depth);
    if (array.empty()) {
      out_.append("<array/>\n");
      return true;
    }
    out_.append("<array>\n");
    for (const Value& element : array) {
      if (!value(element, depth + 1)) return false;
    }
    indent(depth);
    out_.append("</array>\n");
    return true;
  }

  bool write(const Dictionary& dictionary, int depth) {
    indent(depth);
    if (dictionary.empty()) {
      out_.append("<dict/>\n");
      return true;
    }
    out_.append("<dict>\n");
    for (const auto& [key, element] : dictionary) {
      // A NUL cannot appear in XML; expressible() already refuses it.
      if (!textElement("key", key, depth + 1) || !value(element, depth + 1)) return false;
    }
    indent(depth);
    out_.append("</dict>\n");
    return true;
  }

  std::string out_;
};

}  // namespace

std::optional<std::string> write(const Value& value) {
  if (!depthWithin(value, 0)) return std::nullopt;
  Writer writer(value);
  if (!writer.value(value, 0)) return std::nullopt;
  std::string out = writer.take();
  out.append(kFooter);
  return out;
}

}  // namespace sonarell::plist::xml
