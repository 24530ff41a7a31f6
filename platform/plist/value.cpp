#include "platform/plist/value.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "platform/random/random_bytes.h"

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

// A seed drawn from the system's random source once per process, so that which
// keys collide cannot be known in advance by whoever wrote a file.
std::uint64_t processSeed() {
  static const std::uint64_t seed = [] {
    std::uint64_t value = 0;
    random::fillRandomBytes(std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value));
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

// Entries in order, and while there are many of them an open-addressing table
// of their positions (linear probing, at most half full). Each slot keeps the
// low half of its key's hash too, so that probing rarely compares keys and
// growing never hashes them again.
struct Dictionary::Shared {
  struct Slot {
    std::uint32_t position = kEmptySlot;
    std::uint32_t hash = 0;
  };
  Entries entries;
  std::vector<Slot> slots;

  bool indexed() const { return !slots.empty(); }

  // The slot holding the key, or the empty slot where it would go.
  std::size_t probe(std::string_view key, std::uint32_t hash) const {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hash & mask;
    while (slots[i].position != kEmptySlot &&
           (slots[i].hash != hash || entries[slots[i].position].first != key)) {
      i = (i + 1) & mask;
    }
    return i;
  }

  void place(Slot slot) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots[i].position != kEmptySlot) i = (i + 1) & mask;
    slots[i] = slot;
  }

  // A table for `count` entries, filled from the current one, or from the
  // entries when there is none yet (then every entry is placed).
  void grow(std::size_t count) {
    std::vector<Slot> old = std::move(slots);
    std::size_t capacity = 16;
    while (capacity < count * 2) capacity *= 2;
    slots.assign(capacity, Slot{});
    if (!old.empty()) {
      for (const Slot& slot : old) {
        if (slot.position != kEmptySlot) place(slot);
      }
      return;
    }
    for (std::uint32_t p = 0; p < entries.size(); ++p) {
      place({p, static_cast<std::uint32_t>(hashOf(entries[p].first))});
    }
  }

  // Adds the entry as new; the caller has made sure the key is absent. `slot`
  // is where probing for it ended, when the table exists.
  void append(std::string key, Value value, std::uint32_t hash, std::size_t slot) {
    entries.emplace_back(std::move(key), std::move(value));
    const Slot added{static_cast<std::uint32_t>(entries.size() - 1), hash};
    if (!indexed()) {
      if (entries.size() >= kIndexFrom) grow(entries.size());
    } else if (slots.size() >= entries.size() * 2) {
      slots[slot] = added;
    } else {
      grow(entries.size());
      place(added);
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
  if (!shared_ || !shared_->indexed()) {
    auto it = std::find_if(all.begin(), all.end(), [&](const Entry& e) { return e.first == key; });
    return static_cast<std::size_t>(it - all.begin());
  }
  const std::uint32_t slot =
      shared_->slots[shared_->probe(key, static_cast<std::uint32_t>(hashOf(key)))].position;
  return slot == kEmptySlot ? all.size() : slot;
}

std::size_t Dictionary::size() const { return entries().size(); }
Dictionary::Entries::const_iterator Dictionary::begin() const { return entries().begin(); }
Dictionary::Entries::const_iterator Dictionary::end() const { return entries().end(); }

void Dictionary::reserve(std::size_t count) {
  Shared& shared = own();
  shared.entries.reserve(count);
  if (count >= kIndexFrom && shared.slots.size() < count * 2) shared.grow(count);
}

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
  insert(std::move(key), std::move(value));
}

bool Dictionary::insert(std::string key, Value value) {
  Shared& shared = own();
  if (!shared.indexed()) {
    if (position(key) != shared.entries.size()) return false;
    shared.append(std::move(key), std::move(value), 0, 0);  // a new table hashes every key itself
    return true;
  }
  const auto hash = static_cast<std::uint32_t>(hashOf(key));
  const std::size_t at = shared.probe(key, hash);
  if (shared.slots[at].position != kEmptySlot) return false;
  shared.append(std::move(key), std::move(value), hash, at);
  return true;
}

bool Dictionary::erase(std::string_view key) {
  const std::size_t at = position(key);
  if (at == size()) return false;
  Shared& shared = own();
  shared.entries.erase(shared.entries.begin() + static_cast<std::ptrdiff_t>(at));
  shared.slots.clear();  // positions after the erased entry moved
  if (shared.entries.size() >= kIndexFrom) shared.grow(shared.entries.size());
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
