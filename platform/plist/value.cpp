#include "platform/plist/value.h"

#include <algorithm>

namespace sonarell::plist {

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}

const Dictionary::Entries& Dictionary::entries() const {
  static const Entries kEmpty;
  return entries_ ? *entries_ : kEmpty;
}

Dictionary::Entries& Dictionary::ownEntries() {
  if (!entries_) {
    entries_ = std::make_shared<Entries>();
  } else if (entries_.use_count() > 1) {
    entries_ = std::make_shared<Entries>(*entries_);
  }
  return *entries_;
}

std::size_t Dictionary::size() const { return entries().size(); }
Dictionary::Entries::const_iterator Dictionary::begin() const { return entries().begin(); }
Dictionary::Entries::const_iterator Dictionary::end() const { return entries().end(); }

const Value* Dictionary::find(std::string_view key) const {
  const Entries& all = entries();
  auto it = std::find_if(all.begin(), all.end(), [&](const Entry& e) { return e.first == key; });
  return it == all.end() ? nullptr : &it->second;
}

Value* Dictionary::find(std::string_view key) {
  if (!entries_) return nullptr;
  Entries& all = ownEntries();
  auto it = std::find_if(all.begin(), all.end(), [&](const Entry& e) { return e.first == key; });
  return it == all.end() ? nullptr : &it->second;
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  ownEntries().emplace_back(std::move(key), std::move(value));
}

bool Dictionary::erase(std::string_view key) {
  if (!find(key)) return false;
  Entries& all = ownEntries();
  all.erase(std::find_if(all.begin(), all.end(), [&](const Entry& e) { return e.first == key; }));
  return true;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
  if (a.entries_ == b.entries_) return true;  // shared entries, or both empty
  if (a.size() != b.size()) return false;
  // Keys are unique, so equal sizes and every key of a found equal in b is enough.
  return std::all_of(a.begin(), a.end(), [&](const Dictionary::Entry& e) {
    const Value* other = b.find(e.first);
    return other != nullptr && *other == e.second;
  });
}

}  // namespace sonarell::plist
