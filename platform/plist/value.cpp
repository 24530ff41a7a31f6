#include "platform/plist/value.h"

#include <sys/auxv.h>

#include <algorithm>
#include <cstring>

namespace sonarell::plist {
namespace {

// Small dictionaries (most of them: the enabled-source records hold two or three
// keys) are searched linearly; an index only pays beyond this size.
constexpr std::size_t kIndexFrom = 9;
constexpr std::uint32_t kEmptySlot = UINT32_MAX;

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBULL;
  return h ^ (h >> 31);
}

// A seed the kernel chose for this process, so that which keys collide cannot
// be known in advance by whoever wrote a file.
std::uint64_t processSeed() {
  static const std::uint64_t seed = [] {
    std::uint64_t value = 0x9E3779B97F4A7C15ULL;
    if (const auto* random = reinterpret_cast<const unsigned char*>(getauxval(AT_RANDOM))) {
      std::memcpy(&value, random, sizeof value);
    }
    return value;
  }();
  return seed;
}

std::uint64_t hashOf(std::string_view key) {
  std::uint64_t h = processSeed() ^ key.size();
  std::size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) {
    std::uint64_t chunk = 0;
    std::memcpy(&chunk, key.data() + i, 8);
    h = mix(h ^ chunk);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, key.data() + i, key.size() - i);
  return mix(h ^ tail ^ 0xFF);
}

}  // namespace

// Entries in order, and while there are many of them an open-addressing table of
// their positions (linear probing, at most half full).
struct Dictionary::Shared {
  Entries entries;
  std::vector<std::uint32_t> slots;

  void insertSlot(std::uint32_t position) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hashOf(entries[position].first) & mask;
    while (slots[i] != kEmptySlot) i = (i + 1) & mask;
    slots[i] = position;
  }

  void reindex() {
    slots.clear();
    if (entries.size() < kIndexFrom) return;
    std::size_t capacity = 16;
    while (capacity < entries.size() * 2) capacity *= 2;
    slots.assign(capacity, kEmptySlot);
    for (std::uint32_t p = 0; p < entries.size(); ++p) insertSlot(p);
  }

  void appended() {
    if (entries.size() < kIndexFrom) return;
    if (slots.size() < entries.size() * 2) {
      reindex();
    } else {
      insertSlot(static_cast<std::uint32_t>(entries.size() - 1));
    }
  }
};

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}

const Dictionary::Entries& Dictionary::entries() const {
  static const Entries kEmpty;
  return shared_ ? shared_->entries : kEmpty;
}

Dictionary::Shared& Dictionary::own() {
  if (!shared_) {
    shared_ = std::make_shared<Shared>();
  } else if (shared_.use_count() > 1) {
    shared_ = std::make_shared<Shared>(*shared_);
  }
  return *shared_;
}

std::size_t Dictionary::position(std::string_view key) const {
  const Entries& all = entries();
  if (!shared_ || shared_->slots.empty()) {
    auto it = std::find_if(all.begin(), all.end(), [&](const Entry& e) { return e.first == key; });
    return static_cast<std::size_t>(it - all.begin());
  }
  const std::vector<std::uint32_t>& slots = shared_->slots;
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hashOf(key) & mask; slots[i] != kEmptySlot; i = (i + 1) & mask) {
    if (all[slots[i]].first == key) return slots[i];
  }
  return all.size();
}

std::size_t Dictionary::size() const { return entries().size(); }
Dictionary::Entries::const_iterator Dictionary::begin() const { return entries().begin(); }
Dictionary::Entries::const_iterator Dictionary::end() const { return entries().end(); }

void Dictionary::reserve(std::size_t count) { own().entries.reserve(count); }

const Value* Dictionary::find(std::string_view key) const {
  const std::size_t at = position(key);
  return at == size() ? nullptr : &entries()[at].second;
}

Value* Dictionary::find(std::string_view key) {
  const std::size_t at = position(key);
  if (at == size()) return nullptr;
  return &own().entries[at].second;
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  Shared& shared = own();
  shared.entries.emplace_back(std::move(key), std::move(value));
  shared.appended();
}

bool Dictionary::insert(std::string key, Value value) {
  if (position(key) != size()) return false;
  Shared& shared = own();
  shared.entries.emplace_back(std::move(key), std::move(value));
  shared.appended();
  return true;
}

bool Dictionary::erase(std::string_view key) {
  const std::size_t at = position(key);
  if (at == size()) return false;
  Shared& shared = own();
  shared.entries.erase(shared.entries.begin() + static_cast<std::ptrdiff_t>(at));
  shared.reindex();
  return true;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
  if (a.shared_ == b.shared_) return true;  // shared entries, or both empty
  if (a.size() != b.size()) return false;
  // Keys are unique, so equal sizes and every key of a found equal in b is enough.
  return std::all_of(a.begin(), a.end(), [&](const Dictionary::Entry& e) {
    const Value* other = b.find(e.first);
    return other != nullptr && *other == e.second;
  });
}

}  // namespace sonarell::plist
