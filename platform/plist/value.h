#pragma once

// The property-list value type that the whole project works with. libplist only
// reads and writes bytes (codec.h); comparisons, look-ups and edits happen here.

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

using Array = std::vector<Value>;

// A dictionary keeps the order in which its keys were read or added, so that a
// file written back looks like the one that was read. Keys are unique.
//
// Copies share their entries until one of them is changed: the enabled-source
// list holds thousands of small dictionaries, and every read of a preference
// hands out a copy, so a deep copy per read would dominate a repair.
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
  bool erase(std::string_view key);

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  Entries::const_iterator begin() const;
  Entries::const_iterator end() const;

  // Same keys with equal values, whatever their order.
  friend bool operator==(const Dictionary& a, const Dictionary& b);

 private:
  const Entries& entries() const;
  Entries& ownEntries();

  std::shared_ptr<Entries> entries_;  // null while empty
};

// Seconds since 2001-01-01T00:00:00Z, as the platform counts dates.
struct Date {
  double seconds = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

struct Data {
  std::vector<std::uint8_t> bytes;
  friend bool operator==(const Data&, const Data&) = default;
};

class Value {
 public:
  using Storage = std::variant<std::string, std::int64_t, double, bool, Date, Data, Array, Dictionary>;

  Value() : storage_(Dictionary{}) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::int64_t i) : storage_(i) {}
  Value(int i) : storage_(static_cast<std::int64_t>(i)) {}
  Value(double d) : storage_(d) {}
  Value(bool b) : storage_(b) {}
  Value(Date d) : storage_(d) {}
  Value(Data d) : storage_(std::move(d)) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Dictionary d) : storage_(std::move(d)) {}

  bool isString() const { return std::holds_alternative<std::string>(storage_); }
  bool isInteger() const { return std::holds_alternative<std::int64_t>(storage_); }
  bool isReal() const { return std::holds_alternative<double>(storage_); }
  bool isBoolean() const { return std::holds_alternative<bool>(storage_); }
  bool isDate() const { return std::holds_alternative<Date>(storage_); }
  bool isData() const { return std::holds_alternative<Data>(storage_); }
  bool isArray() const { return std::holds_alternative<Array>(storage_); }
  bool isDictionary() const { return std::holds_alternative<Dictionary>(storage_); }

  // Typed access; nullptr when the value is of another type.
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&storage_); }
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
  // keys regardless of order. An integer never equals a real.
  friend bool operator==(const Value& a, const Value& b) { return a.storage_ == b.storage_; }

 private:
  Storage storage_;
};

}  // namespace sonarell::plist
