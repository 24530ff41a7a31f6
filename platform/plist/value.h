#pragma once

// The property-list value type that the whole project works with. The codec
// (codec.h) reads and writes bytes; comparisons, look-ups and edits happen here.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace sonarell::plist {

class Value;

// Readers and writers refuse arrays and dictionaries nested deeper than this (the
// top value is at depth 0), so that nothing recursive over a Value can exhaust
// the stack.
inline constexpr int kMaxDepth = 512;

using Array = std::vector<Value>;

// A dictionary keeps the order in which its keys were read or added, so that a
// file written back looks like the one that was read. Keys are unique.
//
// Copies share their entries until one of them is changed: the enabled-source
// list holds thousands of small dictionaries, and every read of a preference
// hands out a copy, so a deep copy per read would dominate a repair.
//
// Look-up and insertion take constant time on average: beyond a few keys the
// entries carry a hash index (seeded per process, so that a file cannot choose
// colliding keys), shared along with them. Erasing takes linear time.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using Entries = std::vector<Entry>;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);

  const Value* find(std::string_view key) const;
  // Mutable access: the entries are made this dictionary's own first.
  Value* find(std::string_view key);
  // Replaces the value of an existing key in place, or appends a new key.
  void set(std::string key, Value value);
  // Appends a new key; false, changing nothing, when the key is there already.
  bool insert(std::string key, Value value);
  bool erase(std::string_view key);
  void reserve(std::size_t count);

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  Entries::const_iterator begin() const;
  Entries::const_iterator end() const;

  // Same keys with equal values, whatever their order.
  friend bool operator==(const Dictionary& a, const Dictionary& b);

 private:
  struct Shared;
  const Entries& entries() const;
  Shared& own();
  std::size_t position(std::string_view key) const;  // size() when absent

  std::shared_ptr<Shared> shared_;  // null while empty
};

// Reals and dates compare as numbers, except that a NaN equals a NaN: a value
// read twice from the same file must compare equal, or a preference holding a
// NaN would look changed on every read.
inline bool sameNumber(double a, double b) { return a == b || (a != a && b != b); }

// Seconds since 2001-01-01T00:00:00Z, as the platform counts dates, fractions
// included, over the whole range of a double.
struct Date {
  double seconds = 0;
  friend bool operator==(const Date& a, const Date& b) { return sameNumber(a.seconds, b.seconds); }
};

// An integer above INT64_MAX (up to 2^64 - 1). Value keeps every integer that
// fits in int64 as int64 and only larger ones in this form, so that equality
// of the storage is equality of the mathematical value.
struct UnsignedInteger {
  std::uint64_t value = 0;
  friend bool operator==(const UnsignedInteger&, const UnsignedInteger&) = default;
};

struct Data {
  std::vector<std::uint8_t> bytes;
  friend bool operator==(const Data&, const Data&) = default;
};

class Value {
 public:
  using Storage =
      std::variant<std::string, std::int64_t, double, bool, Date, Data, Array, Dictionary, UnsignedInteger>;

  Value() : storage_(Dictionary{}) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::int64_t i) : storage_(i) {}
  Value(int i) : storage_(static_cast<std::int64_t>(i)) {}
  // Kept as int64 when it fits.
  Value(std::uint64_t u) : Value(UnsignedInteger{u}) {}
  Value(UnsignedInteger u) {
    if (u.value <= static_cast<std::uint64_t>(INT64_MAX)) {
      storage_ = static_cast<std::int64_t>(u.value);
    } else {
      storage_ = u;
    }
  }
  Value(double d) : storage_(d) {}
  Value(bool b) : storage_(b) {}
  Value(Date d) : storage_(d) {}
  Value(Data d) : storage_(std::move(d)) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Dictionary d) : storage_(std::move(d)) {}

  bool isString() const { return std::holds_alternative<std::string>(storage_); }
  // Either integer form.
  bool isInteger() const {
    return std::holds_alternative<std::int64_t>(storage_) ||
           std::holds_alternative<UnsignedInteger>(storage_);
  }
  bool isReal() const { return std::holds_alternative<double>(storage_); }
  bool isBoolean() const { return std::holds_alternative<bool>(storage_); }
  bool isDate() const { return std::holds_alternative<Date>(storage_); }
  bool isData() const { return std::holds_alternative<Data>(storage_); }
  bool isArray() const { return std::holds_alternative<Array>(storage_); }
  bool isDictionary() const { return std::holds_alternative<Dictionary>(storage_); }

  // Typed access; nullptr when the value is of another type. asInteger() is
  // also nullptr for an integer above INT64_MAX, which asUnsigned() gives.
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&storage_); }
  std::optional<std::uint64_t> asUnsigned() const {
    if (const auto* u = std::get_if<UnsignedInteger>(&storage_)) return u->value;
    if (const auto* i = asInteger(); i && *i >= 0) return static_cast<std::uint64_t>(*i);
    return std::nullopt;
  }
  const double* asReal() const { return std::get_if<double>(&storage_); }
  const bool* asBoolean() const { return std::get_if<bool>(&storage_); }
  const Date* asDate() const { return std::get_if<Date>(&storage_); }
  const Data* asData() const { return std::get_if<Data>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  Array* asArray() { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }
  Dictionary* asDictionary() { return std::get_if<Dictionary>(&storage_); }

  const Storage& storage() const { return storage_; }

  // Deep equality: same type, arrays element by element in order, dictionaries by
  // keys regardless of order, integers by value, reals and dates as sameNumber().
  // An integer never equals a real.
  friend bool operator==(const Value& a, const Value& b) {
    const double* x = a.asReal();
    const double* y = b.asReal();
    if (x && y) return sameNumber(*x, *y);
    return a.storage_ == b.storage_;
  }

 private:
  Storage storage_;
};

}  // namespace sonarell::plist
