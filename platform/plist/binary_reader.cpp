// Reading the binary form in two passes over the objects reachable from the top
// one, both without recursion. The first checks the structure: every offset and
// length inside the file, no object inside itself, the nesting depth, and what
// the value would cost once expanded (an object referred to from several places
// becomes as many copies). Only when that cost is within a bound proportional
// to the input does the second pass build the value; a shared container is then
// built once and copied to all but its last place.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/plist/binary.h"
#include "platform/unicode/utf8.h"

namespace sonarell::plist::binary {
namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

// Estimated bytes of memory per value, and the budget for a whole file: a
// 1 MiB file builds at most about 40 MiB, and a file this project writes (which
// shares nothing) always fits.
constexpr std::uint64_t kNodeCost = 48;
constexpr std::uint64_t kFixedBudget = 8u << 20;
constexpr std::uint64_t kBudgetPerInputByte = 32;

constexpr unsigned kSimple = 0x0;
constexpr unsigned kInt = 0x1;
constexpr unsigned kReal = 0x2;
constexpr unsigned kDate = 0x3;
constexpr unsigned kData = 0x4;
constexpr unsigned kAscii = 0x5;
constexpr unsigned kUtf16 = 0x6;
constexpr unsigned kArray = 0xA;
constexpr unsigned kDict = 0xD;

struct Object {
  unsigned kind = 0;
  unsigned low = 0;         // the marker's low four bits
  std::uint64_t count = 0;  // length of data and strings, entries of containers
  std::uint64_t body = 0;   // offset of the bytes after the marker and length
};

std::uint64_t bigEndian(const unsigned char* p, unsigned size) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes)
      : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

  std::optional<Value> read() {
    if (!readTrailer() || !checkStructure()) return std::nullopt;
    return build();
  }

 private:
  bool readTrailer() {
    if (size_ < kHeaderSize + kTrailerSize) return false;
    const unsigned char* trailer = data_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objectCount_ = bigEndian(trailer + 8, 8);
    top_ = bigEndian(trailer + 16, 8);
    table_ = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    const std::uint64_t end = size_ - kTrailerSize;
    if (table_ <= kHeaderSize || table_ > end) return false;
    if (objectCount_ == 0 || objectCount_ > (end - table_) / offsetSize_ || top_ >= objectCount_)
      return false;
    budget_ = kFixedBudget + kBudgetPerInputByte * size_;
    return true;
  }

  // The object's marker and length, checked to lie before the offset table.
  bool object(std::uint64_t index, Object& o) const {
    const std::uint64_t offset = bigEndian(data_ + table_ + index * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= table_) return false;
    const unsigned char marker = data_[offset];
    o.kind = marker >> 4;
    o.low = marker & 0x0F;
    o.count = o.low;
    o.body = offset + 1;
    const bool counted =
        o.kind == kData || o.kind == kAscii || o.kind == kUtf16 || o.kind == kArray || o.kind == kDict;
    if (counted && o.low == 0x0F) {
      if (o.body >= table_ || (data_[o.body] >> 4) != kInt) return false;
      const unsigned width = 1u << (data_[o.body] & 0x0F);
      if (width > 8 || width > table_ - o.body - 1) return false;
      o.count = bigEndian(data_ + o.body + 1, width);
      o.body += 1 + width;
    }
    std::uint64_t unit = 0;  // bytes per counted item
    std::uint64_t fixed = 0;
    switch (o.kind) {
      case kSimple:
        if (o.low != 0x8 && o.low != 0x9) return false;  // false and true; no null, fill or others
        break;
      case kInt:
        if (o.low > 4) return false;
        fixed = 1u << o.low;
        break;
      case kReal:
        if (o.low != 2 && o.low != 3) return false;
        fixed = 1u << o.low;
        break;
      case kDate:
        if (o.low != 3) return false;
        fixed = 8;
        break;
      case kData:
      case kAscii:
        unit = 1;
        break;
      case kUtf16:
        unit = 2;
        break;
      case kArray:
        unit = refSize_;
        break;
      case kDict:
        unit = 2 * std::uint64_t{refSize_};
        break;
      default:
        return false;  // UIDs, sets, and kinds the format does not define
    }
    const std::uint64_t room = table_ - o.body;
    if (unit == 0) return fixed <= room;
    return o.count <= room / unit;
  }

  std::uint64_t ref(std::uint64_t at) const { return bigEndian(data_ + at, refSize_); }

  std::uint64_t ownCost(const Object& o) const {
    switch (o.kind) {
      case kData:
      case kAscii:
        return kNodeCost + o.count;
      case kUtf16:
        return kNodeCost + 3 * o.count;  // at most three UTF-8 bytes per UTF-16 unit
      default:
        return kNodeCost;
    }
  }

  static std::uint64_t references(const Object& o) {
    return o.kind == kArray ? o.count : o.kind == kDict ? 2 * o.count : 0;
  }

  // Pass one: depth-first over the reachable objects, once each.
  bool checkStructure() {
    constexpr std::uint8_t kUnseen = 0;
    constexpr std::uint8_t kOpen = 1;
    constexpr std::uint8_t kDone = 2;
    state_.assign(objectCount_, kUnseen);
    cost_.assign(objectCount_, 0);
    uses_.assign(objectCount_, 0);
    height_.assign(objectCount_, 0);
    struct Frame {
      std::uint64_t index;
      Object object;
      std::uint64_t next = 0;
      std::uint64_t cost = 0;
      std::uint16_t height = 0;  // levels below this object
    };
    std::vector<Frame> stack;
    Object root;
    if (!object(top_, root)) return false;
    if (references(root) == 0) return ownCost(root) <= budget_;
    state_[top_] = kOpen;
    stack.push_back({top_, root, 0, ownCost(root)});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == references(frame.object)) {
        const std::uint64_t finished = frame.cost;
        const std::uint16_t height = frame.height;
        state_[frame.index] = kDone;
        cost_[frame.index] = finished;
        height_[frame.index] = height;
        stack.pop_back();
        if (stack.empty()) continue;
        stack.back().cost += finished;
        stack.back().height = std::max<std::uint16_t>(stack.back().height, height + 1);
        if (stack.back().cost > budget_) return false;
        continue;
      }
      const std::uint64_t child = ref(frame.object.body + frame.next * refSize_);
      ++frame.next;
      // Children lie one level deeper than the frame on top.
      if (child >= objectCount_ || stack.size() > static_cast<std::size_t>(kMaxDepth)) return false;
      ++uses_[child];
      if (state_[child] == kOpen) return false;  // an object inside itself
      if (state_[child] == kDone) {
        // Seen before, maybe higher up: its levels count again from here.
        if (stack.size() + height_[child] > static_cast<std::size_t>(kMaxDepth)) return false;
        frame.cost += cost_[child];
        frame.height = std::max<std::uint16_t>(frame.height, height_[child] + 1);
      } else {
        Object o;
        if (!object(child, o)) return false;
        if (references(o) == 0) {
          state_[child] = kDone;
          cost_[child] = ownCost(o);
          frame.cost += cost_[child];
          frame.height = std::max<std::uint16_t>(frame.height, 1);
        } else {
          state_[child] = kOpen;
          stack.push_back({child, o, 0, ownCost(o)});
          continue;
        }
      }
      if (frame.cost > budget_) return false;
    }
    return cost_[top_] <= budget_;
  }

  std::optional<Value> scalar(const Object& o) const {
    const unsigned char* p = data_ + o.body;
    switch (o.kind) {
      case kSimple:
        return Value(o.low == 0x9);
      case kInt: {
        if (o.low < 3) return Value(bigEndian(p, 1u << o.low));
        if (o.low == 3) return Value(static_cast<std::int64_t>(bigEndian(p, 8)));
        // Sixteen bytes, signed: the form for values above INT64_MAX. Values
        // outside the 64-bit ranges have no counterpart.
        const std::uint64_t high = bigEndian(p, 8);
        const std::uint64_t low = bigEndian(p + 8, 8);
        if (high == 0) return Value(low);
        if (high == UINT64_MAX && low >= (std::uint64_t{1} << 63))
          return Value(static_cast<std::int64_t>(low));
        return std::nullopt;
      }
      case kReal:
        if (o.low == 2) {
          const auto bits = static_cast<std::uint32_t>(bigEndian(p, 4));
          float f = 0;
          std::memcpy(&f, &bits, sizeof f);
          return Value(static_cast<double>(f));
        }
        return Value(asDouble(p));
      case kDate:
        return Value(Date{asDouble(p)});
      case kData: {
        Data data;
        data.bytes.assign(p, p + o.count);
        return Value(std::move(data));
      }
      case kAscii: {
        for (std::uint64_t i = 0; i < o.count; ++i) {
          if (p[i] >= 0x80) return std::nullopt;
        }
        return Value(std::string(reinterpret_cast<const char*>(p), o.count));
      }
      case kUtf16:
        return utf16(p, o.count);
      default:
        return std::nullopt;
    }
  }

  static double asDouble(const unsigned char* p) {
    const std::uint64_t bits = bigEndian(p, 8);
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // Big-endian UTF-16 to UTF-8; a lone surrogate has no UTF-8 form and is refused.
  static std::optional<Value> utf16(const unsigned char* p, std::uint64_t units) {
    std::string out;
    out.reserve(units);
    for (std::uint64_t i = 0; i < units; ++i) {
      std::uint32_t cp = (std::uint32_t{p[2 * i]} << 8) | p[2 * i + 1];
      if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (i + 1 == units) return std::nullopt;
        const std::uint32_t next = (std::uint32_t{p[2 * i + 2]} << 8) | p[2 * i + 3];
        if (next < 0xDC00 || next > 0xDFFF) return std::nullopt;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      }
      unicode::appendUtf8(out, cp);
    }
    return Value(std::move(out));
  }

  // Pass two: builds the value bottom-up. Each container is built once; one
  // referred to from several places waits in `built` until its last use.
  std::optional<Value> build() {
    struct Frame {
      std::uint64_t index;
      Object object;
      std::uint64_t next = 0;
      Value value;
      std::vector<std::string> keys;
    };
    std::unordered_map<std::uint64_t, Value> built;
    std::vector<Frame> stack;
    std::optional<Value> result;

    // Delivers a finished value to the frame on top, or makes it the result.
    const auto deliver = [&](Value value) -> bool {
      if (stack.empty()) {
        result = std::move(value);
        return true;
      }
      Frame& parent = stack.back();
      if (parent.object.kind == kArray) {
        parent.value.asArray()->push_back(std::move(value));
        return true;
      }
      // A dictionary's references are its keys, then its values in the same order.
      const std::uint64_t position = parent.next - 1;
      if (position < parent.object.count) {
        const std::string* key = value.asString();
        if (!key) return false;
        parent.keys.push_back(*key);
        return true;
      }
      // A key held twice is refused: keeping either value would lose the other.
      return parent.value.asDictionary()->insert(std::move(parent.keys[position - parent.object.count]),
                                                 std::move(value));
    };
    const auto open = [&](std::uint64_t index, const Object& o) {
      Frame frame{index, o, 0, Value(), {}};
      if (o.kind == kArray) {
        Array array;
        array.reserve(o.count);
        frame.value = Value(std::move(array));
      } else {
        Dictionary dictionary;
        dictionary.reserve(o.count);
        frame.value = Value(std::move(dictionary));
        frame.keys.reserve(o.count);
      }
      stack.push_back(std::move(frame));
    };

    Object root;
    if (!object(top_, root)) return std::nullopt;
    if (root.kind != kArray && root.kind != kDict) return scalar(root);
    open(top_, root);
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == references(frame.object)) {
        const std::uint64_t index = frame.index;
        Value value = std::move(frame.value);
        stack.pop_back();
        if (uses_[index] > 1) {
          // This use is the first of several; the others copy from `built`.
          built.emplace(index, value);
          uses_[index] -= 1;
        }
        if (!deliver(std::move(value))) return std::nullopt;
        continue;
      }
      const std::uint64_t child = ref(frame.object.body + frame.next * refSize_);
      ++frame.next;
      Object o;
      if (!object(child, o)) return std::nullopt;
      if (o.kind != kArray && o.kind != kDict) {
        std::optional<Value> value = scalar(o);
        if (!value || !deliver(std::move(*value))) return std::nullopt;
        continue;
      }
      const auto found = built.find(child);
      if (found == built.end()) {
        open(child, o);
        continue;
      }
      Value value = --uses_[child] == 0 ? std::move(found->second) : found->second;
      if (uses_[child] == 0) built.erase(found);
      if (!deliver(std::move(value))) return std::nullopt;
    }
    return result;
  }

  const unsigned char* data_;
  std::uint64_t size_;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t top_ = 0;
  std::uint64_t table_ = 0;
  std::uint64_t budget_ = 0;
  std::vector<std::uint8_t> state_;
  std::vector<std::uint64_t> cost_;
  std::vector<std::uint32_t> uses_;
  std::vector<std::uint16_t> height_;
};

}  // namespace

std::optional<Value> parse(std::string_view bytes) {
  if (!bytes.starts_with(kMagic)) return std::nullopt;
  return Reader(bytes).read();
}

}  // namespace sonarell::plist::binary
