#include "platform/plist/codec.h"

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/fs/paths.h"
#include "platform/fs/unique_fd.h"

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

struct XmlDeleter {
  void operator()(char* p) const { plist_to_xml_free(p); }
};

// Nesting deeper than this is refused rather than risking the stack on hostile input.
constexpr int kMaxDepth = 512;

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

// Characters an XML 1.0 document can carry; libplist silently drops the rest,
// which would change the value on the way to disk.
bool expressibleInXml(const std::string& s) {
  if (!fs::isValidUtf8(s)) return false;
  for (unsigned char c : s) {
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

Node toNode(const Value& value, int depth);

Node newString(const std::string& s) {
  if (!expressibleInXml(s)) return nullptr;
  return Node(plist_new_string(s.c_str()));
}

Node toNode(const Value& value, int depth) {
  if (depth > kMaxDepth) return nullptr;
  if (const auto* s = value.asString()) return newString(*s);
  if (const auto* i = value.asInteger()) return Node(plist_new_uint(static_cast<uint64_t>(*i)));
  if (const auto* d = value.asReal()) return Node(plist_new_real(*d));
  if (const auto* b = value.asBoolean()) return Node(plist_new_bool(*b ? 1 : 0));
  if (const auto* date = value.asDate()) {
    if (!std::isfinite(date->seconds)) return nullptr;
    const double whole = std::floor(date->seconds);
    if (whole < std::numeric_limits<int32_t>::min() || whole > std::numeric_limits<int32_t>::max()) {
      return nullptr;
    }
    auto usec = static_cast<int32_t>(std::lround((date->seconds - whole) * 1e6));
    auto sec = static_cast<int32_t>(whole);
    if (usec >= 1000000) {
      if (sec == std::numeric_limits<int32_t>::max()) return nullptr;
      ++sec;
      usec -= 1000000;
    }
    return Node(plist_new_date(sec, usec));
  }
  if (const auto* data = value.asData()) {
    return Node(plist_new_data(reinterpret_cast<const char*>(data->bytes.data()), data->bytes.size()));
  }
  if (const auto* array = value.asArray()) {
    Node node(plist_new_array());
    for (const auto& element : *array) {
      Node child = toNode(element, depth + 1);
      if (!child) return nullptr;
      plist_array_append_item(node.get(), child.release());  // the array owns it now
    }
    return node;
  }
  if (const auto* dictionary = value.asDictionary()) {
    Node node(plist_new_dict());
    for (const auto& [key, element] : *dictionary) {
      if (!expressibleInXml(key) || key.find('\0') != std::string::npos) return nullptr;
      Node child = toNode(element, depth + 1);
      if (!child) return nullptr;
      plist_dict_set_item(node.get(), key.c_str(), child.release());  // the dictionary owns it now
    }
    return node;
  }
  return nullptr;
}

}  // namespace

std::optional<Value> parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
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

std::optional<std::string> toXml(const Value& value) {
  Node root = toNode(value, 0);
  if (!root) return std::nullopt;
  char* raw = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &raw, &length);
  std::unique_ptr<char, XmlDeleter> xml(raw);
  if (!xml || length == 0) return std::nullopt;
  return std::string(xml.get(), length);
}

}  // namespace sonarell::plist
