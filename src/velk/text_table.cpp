// Packed texts, an entry array and open addressing with linear probing.
#include "velk/text_table.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace velk {

namespace {

std::size_t hash_of(std::string_view text) { return std::hash<std::string_view>{}(text); }

}  // namespace

TextTable::TextTable(std::initializer_list<value_type> entries) {
  reserve(entries.size());
  for (const auto& [key, value] : entries) insert_or_assign(key, value);
}

TextTable::TextTable(const TextTable& other) {
  reserve(other.size());
  for (const auto& [key, value] : other) try_emplace(key, value);
}

TextTable& TextTable::operator=(const TextTable& other) {
  if (this != &other) *this = TextTable(other);
  return *this;
}

TextTable::const_iterator TextTable::find(std::string_view key) const {
  if (slots_.empty()) return end();
  const std::uint32_t slot = slots_[slot_for(key)];
  return slot == 0 ? end() : const_iterator(this, slot - 1);
}

bool TextTable::try_emplace(std::string_view key, std::string_view value) {
  if (2 * (entries_.size() + 1) > slots_.size()) rehash(std::max<std::size_t>(16, 2 * slots_.size()));
  const std::size_t slot = slot_for(key);
  if (slots_[slot] != 0) return false;
  if (entries_.size() >= UINT32_MAX) throw std::length_error("text table full");
  const std::uint32_t key_at = store(key);
  const std::uint32_t value_at = store(value);
  entries_.push_back({key_at, static_cast<std::uint32_t>(key.size()), value_at,
                      static_cast<std::uint32_t>(value.size())});
  slots_[slot] = static_cast<std::uint32_t>(entries_.size());
  return true;
}

void TextTable::insert_or_assign(std::string_view key, std::string_view value) {
  const auto it = find(key);
  if (it == end()) {
    try_emplace(key, value);
    return;
  }
  Entry& entry = entries_[it.index_];
  entry.value_at = store(value);
  entry.value_size = static_cast<std::uint32_t>(value.size());
}

void TextTable::reserve(std::size_t count) {
  entries_.reserve(count);
  std::size_t slot_count = std::max<std::size_t>(16, slots_.size());
  while (slot_count < 2 * count) slot_count *= 2;
  if (slot_count > slots_.size()) rehash(slot_count);
}

std::uint32_t TextTable::store(std::string_view text) {
  if (text.empty()) return 0;
  if (text.size() > block_end_ - next_) {
    // A new block, twice the last one up to a megabyte, and large enough for the text.
    block_size_ = std::clamp(2 * block_size_, kUnit, kLargestBlock);
    const std::size_t size = std::max(block_size_, (text.size() + kUnit - 1) & ~(kUnit - 1));
    if (block_end_ + size > (std::size_t{1} << 32)) throw std::length_error("text table full");
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    for (std::size_t unit = 0; unit < size / kUnit; ++unit) {
      units_.push_back(blocks_.back().get() + unit * kUnit);
    }
    next_ = block_end_;
    block_end_ += size;
  }
  const std::size_t at = next_;
  std::memcpy(units_[at >> kUnitBits] + (at & (kUnit - 1)), text.data(), text.size());
  next_ += text.size();
  return static_cast<std::uint32_t>(at);
}

std::size_t TextTable::slot_for(std::string_view key) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = hash_of(key) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t held = slots_[slot];
    if (held == 0) return slot;
    const Entry& e = entries_[held - 1];
    if (e.key_size == key.size() && text(e.key_at, e.key_size) == key) return slot;
  }
}

void TextTable::rehash(std::size_t slot_count) {
  slots_.assign(slot_count, 0);
  const std::size_t mask = slot_count - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    std::size_t slot = hash_of(text(e.key_at, e.key_size)) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(i + 1);
  }
}

}  // namespace velk
