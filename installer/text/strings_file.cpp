#include "installer/text/strings_file.h"

#include <QStringDecoder>

#include "installer/text/utf8_decoder.h"
#include "platform/plist/codec.h"

namespace sonarell::installer {

namespace {

// The table as UTF-16 text, or none when its encoding is not one a table uses.
std::optional<QString> decode(std::string_view bytes) {
  auto strict = [](QStringConverter::Encoding encoding, std::string_view b) -> std::optional<QString> {
    QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(b.data(), static_cast<qsizetype>(b.size())));
    if (decoder.hasError()) return std::nullopt;
    return text;
  };
  const auto starts = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
  if (starts("\xFF\xFE")) return strict(QStringConverter::Utf16LE, bytes.substr(2));
  if (starts("\xFE\xFF")) return strict(QStringConverter::Utf16BE, bytes.substr(2));
  // UTF-16 without a mark: a table starts with ASCII (a quote, a comment, a
  // key), whose high byte is zero.
  if (bytes.size() >= 2 && bytes.size() % 2 == 0) {
    if (bytes[0] != 0 && bytes[1] == 0) return strict(QStringConverter::Utf16LE, bytes);
    if (bytes[0] == 0 && bytes[1] != 0) return strict(QStringConverter::Utf16BE, bytes);
  }
  if (starts("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return strict(QStringConverter::Utf8, bytes);
}

bool isBare(QChar c) {
  const char16_t u = c.unicode();
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '$' ||
         u == '+' || u == '/' || u == ':' || u == '.' || u == '-';
}

int hexValue(QChar c) {
  const char16_t u = c.unicode();
  if (u >= '0' && u <= '9') return u - '0';
  if (u >= 'a' && u <= 'f') return u - 'a' + 10;
  if (u >= 'A' && u <= 'F') return u - 'A' + 10;
  return -1;
}

class Parser {
 public:
  explicit Parser(const QString& text) : s_(text) {}

  // Skips white space and both kinds of comment; false on an unclosed comment.
  bool skip() {
    while (i_ < s_.size()) {
      const QChar c = s_[i_];
      if (c.isSpace()) {
        ++i_;
      } else if (c == u'/' && i_ + 1 < s_.size() && s_[i_ + 1] == u'*') {
        const qsizetype end = s_.indexOf(QStringLiteral("*/"), i_ + 2);
        if (end < 0) return false;
        i_ = end + 2;
      } else if (c == u'/' && i_ + 1 < s_.size() && s_[i_ + 1] == u'/') {
        const qsizetype end = s_.indexOf(u'\n', i_ + 2);
        i_ = end < 0 ? s_.size() : end + 1;
      } else {
        return true;
      }
    }
    return true;
  }
  bool atEnd() const { return i_ >= s_.size(); }
  bool take(char16_t c) {
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }

  std::optional<QString> string() {
    if (take(u'"')) return quoted();
    const qsizetype start = i_;
    while (i_ < s_.size() && isBare(s_[i_])) ++i_;
    if (i_ == start) return std::nullopt;
    return s_.mid(start, i_ - start);
  }

 private:
  std::optional<QString> quoted() {
    QString out;
    while (i_ < s_.size()) {
      const QChar c = s_[i_++];
      if (c == u'"') return out;
      if (c != u'\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return std::nullopt;
      const QChar e = s_[i_++];
      switch (e.unicode()) {
        case 'n':
          out += u'\n';
          break;
        case 't':
          out += u'\t';
          break;
        case 'r':
          out += u'\r';
          break;
        case 'a':
          out += u'\a';
          break;
        case 'b':
          out += u'\b';
          break;
        case 'f':
          out += u'\f';
          break;
        case 'v':
          out += u'\v';
          break;
        case 'U':
        case 'u': {
          // Four hexadecimal digits: one UTF-16 unit; a pair makes one character.
          int value = 0;
          for (int k = 0; k < 4; ++k) {
            const int h = i_ < s_.size() ? hexValue(s_[i_]) : -1;
            if (h < 0) return std::nullopt;
            value = value * 16 + h;
            ++i_;
          }
          out += QChar(static_cast<char16_t>(value));
          break;
        }
        default:
          if (e >= u'0' && e <= u'7') {
            int value = e.unicode() - '0';
            for (int k = 0; k < 2 && i_ < s_.size() && s_[i_] >= u'0' && s_[i_] <= u'7'; ++k)
              value = value * 8 + (s_[i_++].unicode() - '0');
            out += QChar(static_cast<char16_t>(value));
          } else {
            out += e;  // \" \\ \' and any other character stand for themselves
          }
      }
    }
    return std::nullopt;  // unterminated
  }

  const QString& s_;
  qsizetype i_ = 0;
};

std::optional<QString> fromPropertyList(std::string_view bytes, const QString& key) {
  auto value = plist::parse(bytes);
  if (!value || !value->isDictionary()) return std::nullopt;
  const plist::Value* entry = value->asDictionary()->find(key.toStdString());
  if (entry == nullptr || !entry->isString()) return std::nullopt;
  return decodeUtf8(*entry->asString());
}

}  // namespace

std::optional<QString> stringsTableValue(std::string_view bytes, const QString& key) {
  // A table may also be stored as a property list (XML or binary).
  if (bytes.substr(0, 8) == "bplist00") return fromPropertyList(bytes, key);
  auto text = decode(bytes);
  if (!text) return std::nullopt;
  if (text->trimmed().startsWith(u'<')) return fromPropertyList(bytes, key);

  Parser p(*text);
  if (!p.skip()) return std::nullopt;
  const bool braced = p.take(u'{');  // the old property-list dictionary form
  std::optional<QString> found;
  for (;;) {
    if (!p.skip()) return std::nullopt;
    if (braced && p.take(u'}')) {
      if (!p.skip() || !p.atEnd()) return std::nullopt;
      break;
    }
    if (p.atEnd()) {
      if (braced) return std::nullopt;
      break;
    }
    auto k = p.string();
    if (!k || !p.skip()) return std::nullopt;
    std::optional<QString> v = k;
    if (p.take(u'=')) {
      if (!p.skip()) return std::nullopt;
      v = p.string();
      if (!v || !p.skip()) return std::nullopt;
    }
    if (!p.take(u';')) return std::nullopt;
    // A lone surrogate from an escape is no text.
    if (!k->isValidUtf16() || !v->isValidUtf16()) return std::nullopt;
    if (*k == key) found = std::move(v);  // the last one wins, as in a dictionary
  }
  return found;
}

}  // namespace sonarell::installer
