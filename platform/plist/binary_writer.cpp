// Writing the binary form: every value becomes an object of its own (nothing is
// shared, so the reader's expansion bound always admits what is written here),
// numbered in document order, the top object first; a dictionary refers to its
// keys, then to its values.

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/plist/binary.h"
#include "platform/unicode/utf8.h"

namespace sonarell::plist::binary {
namespace {

unsigned bytesFor(std::uint64_t value) {
  unsigned bytes = 1;
  while (bytes < 8 && (value >> (8 * bytes)) != 0) ++bytes;
  return bytes;
}

// The widths the format allows for offsets and references need not be powers of
// two, but lengths and integers must be.
unsigned powerOfTwoBytesFor(std::uint64_t value) {
  const unsigned bytes = bytesFor(value);
  return bytes == 1 ? 1 : bytes == 2 ? 2 : bytes <= 4 ? 4 : 8;
}

class Writer {
 public:
  bool flatten(const Value& value) { return add(value, 0).has_value(); }

  bool write(std::string& out) {
    out_.reserve(items_.size() * 16);
    out_.append(kMagic);
    refSize_ = bytesFor(items_.size() - 1);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(items_.size());
    for (const Item& item : items_) {
      offsets.push_back(out_.size());
      if (!object(item)) return false;
    }
    const std::uint64_t table = out_.size();
    const unsigned offsetSize = bytesFor(offsets.back());
    for (std::uint64_t offset : offsets) bigEndian(offset, offsetSize);
    out_.append(6, '\0');  // unused, and the sort version
    out_ += static_cast<char>(offsetSize);
    out_ += static_cast<char>(refSize_);
    bigEndian(items_.size(), 8);
    bigEndian(0, 8);  // the top object
    bigEndian(table, 8);
    out = std::move(out_);
    return true;
  }

 private:
  struct Item {
    const Value* value;      // null for a key
    const std::string* key;  // the key's text
    std::uint64_t firstRef;  // into refs_, for containers
  };

  std::optional<std::uint64_t> add(const Value& value, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    const std::uint64_t index = items_.size();
    items_.push_back({&value, nullptr, 0});
    std::vector<std::uint64_t> children;
    if (const Array* array = value.asArray()) {
      children.reserve(array->size());
      for (const Value& element : *array) {
        auto child = add(element, depth + 1);
        if (!child) return std::nullopt;
        children.push_back(*child);
      }
    } else if (const Dictionary* dictionary = value.asDictionary()) {
      // Keys sit one level down, as values do.
      if (!dictionary->empty() && depth + 1 > kMaxDepth) return std::nullopt;
      children.reserve(2 * dictionary->size());
      for (const auto& entry : *dictionary) {
        children.push_back(items_.size());
        items_.push_back({nullptr, &entry.first, 0});
      }
      for (const auto& entry : *dictionary) {
        auto child = add(entry.second, depth + 1);
        if (!child) return std::nullopt;
        children.push_back(*child);
      }
    } else {
      return index;
    }
    items_[index].firstRef = refs_.size();
    refs_.insert(refs_.end(), children.begin(), children.end());
    return index;
  }

  void bigEndian(std::uint64_t value, unsigned size) {
    for (unsigned i = size; i-- > 0;) out_ += static_cast<char>((value >> (8 * i)) & 0xFF);
  }

  void integer(std::uint64_t value) {
    const unsigned size = powerOfTwoBytesFor(value);
    out_ += static_cast<char>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3));
    bigEndian(value, size);
  }

  void marker(unsigned kind, std::uint64_t count) {
    if (count < 15) {
      out_ += static_cast<char>((kind << 4) | count);
    } else {
      out_ += static_cast<char>((kind << 4) | 0x0F);
      integer(count);
    }
  }

  void real(unsigned kind, double d) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    out_ += static_cast<char>((kind << 4) | 3);
    bigEndian(bits, 8);
  }

  // ASCII as one byte per character, anything else as big-endian UTF-16; false
  // when the text is not UTF-8.
  bool string(const std::string& s) {
    bool ascii = true;
    for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      marker(0x5, s.size());
      out_.append(s);
      return true;
    }
    std::vector<std::uint16_t> units;
    units.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
      const std::optional<char32_t> decoded = unicode::decodeUtf8(p, end);
      if (!decoded) return false;
      char32_t cp = *decoded;
      if (cp >= 0x10000) {
        cp -= 0x10000;
        units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
        units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
      } else {
        units.push_back(static_cast<std::uint16_t>(cp));
      }
    }
    marker(0x6, units.size());
    for (std::uint16_t unit : units) bigEndian(unit, 2);
    return true;
  }

  void references(std::uint64_t first, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) bigEndian(refs_[first + i], refSize_);
  }

  bool object(const Item& item) {
    if (!item.value) return string(*item.key);
    const Value& v = *item.value;
    if (const auto* s = v.asString()) return string(*s);
    if (const auto* i = v.asInteger()) {
      if (*i >= 0) {
        integer(static_cast<std::uint64_t>(*i));
      } else {
        out_ += static_cast<char>(0x13);
        bigEndian(static_cast<std::uint64_t>(*i), 8);
      }
      return true;
    }
    if (const auto u = v.asUnsigned()) {
      // Above INT64_MAX: sixteen bytes, signed, so the upper eight are zero.
      out_ += static_cast<char>(0x14);
      bigEndian(0, 8);
      bigEndian(*u, 8);
      return true;
    }
    if (const auto* d = v.asReal()) {
      real(0x2, *d);
      return true;
    }
    if (const auto* b = v.asBoolean()) {
      out_ += static_cast<char>(*b ? 0x09 : 0x08);
      return true;
    }
    if (const auto* date = v.asDate()) {
      real(0x3, date->seconds);
      return true;
    }
    if (const auto* data = v.asData()) {
      marker(0x4, data->bytes.size());
      out_.append(reinterpret_cast<const char*>(data->bytes.data()), data->bytes.size());
      return true;
    }
    if (const auto* array = v.asArray()) {
      marker(0xA, array->size());
      references(item.firstRef, array->size());
      return true;
    }
    const Dictionary& dictionary = *v.asDictionary();
    marker(0xD, dictionary.size());
    references(item.firstRef, 2 * dictionary.size());
    return true;
  }

  std::vector<Item> items_;
  std::vector<std::uint64_t> refs_;
  unsigned refSize_ = 1;
  std::string out_;
};

}  // namespace

std::optional<std::string> write(const Value& value) {
  Writer writer;
  std::string out;
  if (!writer.flatten(value) || !writer.write(out)) return std::nullopt;
  return out;
}

}  // namespace sonarell::plist::binary
