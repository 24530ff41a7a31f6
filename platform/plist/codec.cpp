#include "platform/plist/codec.h"

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "platform/fs/unique_fd.h"
#include "platform/plist/xml.h"

namespace sonarell::plist {
namespace {

struct NodeDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<std::remove_pointer_t<plist_t>, NodeDeleter>;

// Buffers that libplist hands out for strings, keys, data and iterators are plain malloc.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

// Nesting deeper than this is refused rather than risking the stack on hostile input.
constexpr int kMaxDepth = xml::kMaxDepth;

// libplist parses binary containers and frees every tree recursively, and expands
// an object referenced from several places into as many copies. A hostile file
// (deep nesting, a reference cycle, a small file that expands to millions of
// nodes) would exhaust the stack or the memory of the reader, so the structure is
// checked before libplist sees it.
constexpr std::size_t kMaxExpandedObjects = 4'000'000;

std::uint64_t readBigEndian(const unsigned char* p, unsigned size) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

bool binaryStructureIsSafe(std::string_view bytes) {
  constexpr std::size_t kHeader = 8;
  constexpr std::size_t kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer) return false;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  const unsigned char* trailer = data + size - kTrailer;
  const unsigned offsetSize = trailer[6];
  const unsigned refSize = trailer[7];
  const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
  const std::uint64_t topObject = readBigEndian(trailer + 16, 8);
  const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
  if (objectCount == 0 || topObject >= objectCount || tableOffset >= size - kTrailer) return false;
  if (objectCount > (size - kTrailer - tableOffset) / offsetSize) return false;

  const auto objectOffset = [&](std::uint64_t index) {
    return readBigEndian(data + tableOffset + index * offsetSize, offsetSize);
  };
  // Walks the tree as libplist will expand it, without recursion.
  std::vector<std::pair<std::uint64_t, int>> stack{{topObject, 0}};
  std::size_t expanded = 0;
  while (!stack.empty()) {
    const auto [index, depth] = stack.back();
    stack.pop_back();
    if (depth > kMaxDepth || ++expanded > kMaxExpandedObjects) return false;
    const std::uint64_t offset = objectOffset(index);
    if (offset < kHeader || offset >= tableOffset) return false;
    const unsigned char marker = data[offset];
    const unsigned kind = marker >> 4;
    if (kind != 0xA && kind != 0xC && kind != 0xD) continue;  // not a container
    std::uint64_t count = marker & 0x0F;
    std::uint64_t refs = offset + 1;
    if (count == 0x0F) {
      if (refs >= tableOffset || (data[refs] >> 4) != 0x1) return false;
      const unsigned intSize = 1u << (data[refs] & 0x0F);
      if (intSize > 8 || refs + 1 + intSize > tableOffset) return false;
      count = readBigEndian(data + refs + 1, intSize);
      refs += 1 + intSize;
    }
    const std::uint64_t refCount = kind == 0xD ? count * 2 : count;
    if (count > tableOffset || refCount > (tableOffset - refs) / refSize) return false;
    for (std::uint64_t i = 0; i < refCount; ++i) {
      const std::uint64_t child = readBigEndian(data + refs + i * refSize, refSize);
      if (child >= objectCount) return false;
      stack.emplace_back(child, depth + 1);
    }
  }
  return true;
}

std::optional<Value> fromNode(plist_t node, int depth);

std::optional<Value> fromArray(plist_t node, int depth) {
  Array array;
  const uint32_t count = plist_array_get_size(node);
  array.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    auto element = fromNode(plist_array_get_item(node, i), depth + 1);
    if (!element) return std::nullopt;
    array.push_back(std::move(*element));
  }
  return Value(std::move(array));
}

std::optional<Value> fromDictionary(plist_t node, int depth) {
  Dictionary dictionary;
  plist_dict_iter rawIter = nullptr;
  plist_dict_new_iter(node, &rawIter);
  Malloced<void> iter(rawIter);
  if (!iter) return std::nullopt;
  for (;;) {
    char* rawKey = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(node, iter.get(), &rawKey, &item);
    Malloced<char> key(rawKey);
    if (!key) break;
    if (!item) return std::nullopt;
    auto value = fromNode(item, depth + 1);
    if (!value) return std::nullopt;
    dictionary.set(std::string(key.get()), std::move(*value));
  }
  return Value(std::move(dictionary));
}

std::optional<Value> fromNode(plist_t node, int depth) {
  if (!node || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      // libplist keeps every integer as 64 raw bits; the platform's integers are
      // signed 64-bit, so the same bits read back as int64 give the value written.
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      Malloced<char> s(raw);
      return Value(std::string(s ? s.get() : ""));
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      Malloced<char> bytes(raw);
      Data data;
      if (bytes && length > 0) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes.get());
        data.bytes.assign(begin, begin + length);
      }
      return Value(std::move(data));
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist reports the fraction as a magnitude; for dates before 2001 it
      // belongs on the negative side. (A date within the last second before 2001
      // cannot be told apart from its mirror after it through this call.)
      const double fraction = std::fabs(static_cast<double>(usec)) / 1e6;
      return Value(Date{sec < 0 ? sec - fraction : sec + fraction});
    }
    case PLIST_ARRAY:
      return fromArray(node, depth);
    case PLIST_DICT:
      return fromDictionary(node, depth);
    default:
      // Keys outside a dictionary, UIDs and anything newer have no counterpart.
      return std::nullopt;
  }
}

}  // namespace

std::optional<Parsed> parseWithFormat(std::string_view bytes) {
  auto value = parse(bytes);
  if (!value) return std::nullopt;
  return Parsed{std::move(*value), bytes.starts_with("bplist00") ? Format::kBinary : Format::kXml};
}

std::optional<std::string> serialize(const Value& value, Format format) {
  // No binary writer yet: a value that must stay binary cannot be written.
  if (format == Format::kBinary) return std::nullopt;
  return xml::write(value);
}

std::optional<Value> parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const bool binary = bytes.starts_with("bplist00");
  // The XML reader builds its tree without recursion and limits the nesting itself.
  if (!binary) return xml::parse(bytes);
  if (!binaryStructureIsSafe(bytes)) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  Node root(raw);
  if (!root) return std::nullopt;
  return fromNode(root.get(), 0);
}

std::optional<Value> readFile(const std::string& path) {
  fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  auto bytes = fs::readAll(fd.get());
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

std::optional<std::string> toXml(const Value& value) { return xml::write(value); }

}  // namespace sonarell::plist
