// A table from text to text that keeps its texts packed in blocks and its entries in one array:
// about 16 bytes per entry besides the texts, and a slot or two of 4 bytes, where a hash table
// of strings spends a hundred. A map of a hundred thousand entities is two such tables.
//
// Texts never move once stored, so a view of a key or value stays valid while the table grows.
// Entries are never removed; setting a key again stores the new value and leaves the old bytes
// in place. Iteration follows insertion order.
#ifndef VELK_TEXT_TABLE_H_
#define VELK_TEXT_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace velk {

// An iterator over entries that reads each as a pair of views: by value, so `->` points into
// a copy that Arrow holds.
struct TextPairIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = std::pair<std::string_view, std::string_view>;
  using difference_type = std::ptrdiff_t;
  using reference = value_type;
  struct Arrow {
    value_type entry;
    const value_type* operator->() const { return &entry; }
  };
  using pointer = Arrow;
};

class TextTable {
 public:
  using value_type = TextPairIterator::value_type;
  using Arrow = TextPairIterator::Arrow;

  class const_iterator : public TextPairIterator {
   public:

    const_iterator() = default;
    value_type operator*() const { return table_->entry(index_); }
    Arrow operator->() const { return {**this}; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++index_;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.index_ == b.index_;
    }

   private:
    friend class TextTable;
    const_iterator(const TextTable* table, std::size_t index) : table_(table), index_(index) {}
    const TextTable* table_ = nullptr;
    std::size_t index_ = 0;
  };

  TextTable() = default;
  TextTable(std::initializer_list<value_type> entries);
  TextTable(const TextTable& other);
  TextTable& operator=(const TextTable& other);
  TextTable(TextTable&&) noexcept = default;
  TextTable& operator=(TextTable&&) noexcept = default;

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, entries_.size()}; }

  const_iterator find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != end(); }
  // The entry at position `index` of the insertion order.
  value_type entry(std::size_t index) const {
    const Entry& e = entries_[index];
    return {text(e.key_at, e.key_size), text(e.value_at, e.value_size)};
  }

  // Adds `key` with `value` unless the table holds `key`; true when it was added.
  bool try_emplace(std::string_view key, std::string_view value);
  // Sets the value of `key`, adding it when absent.
  void insert_or_assign(std::string_view key, std::string_view value);
  // Room for `count` entries in all, so that filling the table rehashes nothing.
  void reserve(std::size_t count);

 private:
  struct Entry {
    std::uint32_t key_at;
    std::uint32_t key_size;
    std::uint32_t value_at;
    std::uint32_t value_size;
  };
  // Texts live at addresses in one space of 2^32 bytes, cut into units of 4 KiB; a block of
  // memory covers whole units, and a text lies within one block.
  static constexpr unsigned kUnitBits = 12;
  static constexpr std::size_t kUnit = std::size_t{1} << kUnitBits;
  static constexpr std::size_t kLargestBlock = std::size_t{1} << 20;

  std::string_view text(std::uint32_t at, std::uint32_t size) const {
    if (size == 0) return {};
    return {units_[at >> kUnitBits] + (at & (kUnit - 1)), size};
  }
  std::uint32_t store(std::string_view text);
  // The slot that holds `key`, or the free slot where it would go.
  std::size_t slot_for(std::string_view key) const;
  void rehash(std::size_t slot_count);

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<char*> units_;
  std::size_t next_ = 0;       // address of the first free byte of the last block
  std::size_t block_end_ = 0;  // address just past the last block
  std::size_t block_size_ = 0;
  // Entries in chunks of a fixed size: growing never copies them, so a table read from a
  // large session holds no second, larger array of entries at its peak.
  class Entries {
   public:
    static constexpr std::size_t kChunk = 256;
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Entry& operator[](std::size_t i) { return chunks_[i / kChunk][i % kChunk]; }
    const Entry& operator[](std::size_t i) const { return chunks_[i / kChunk][i % kChunk]; }
    void push_back(const Entry& entry) {
      if (size_ % kChunk == 0) chunks_.push_back(std::make_unique_for_overwrite<Entry[]>(kChunk));
      (*this)[size_++] = entry;
    }
    void reserve(std::size_t count) { chunks_.reserve((count + kChunk - 1) / kChunk); }

   private:
    std::vector<std::unique_ptr<Entry[]>> chunks_;
    std::size_t size_ = 0;
  };
  Entries entries_;
  std::vector<std::uint32_t> slots_;  // 1 + entry index, 0 when free; at most half full
};

}  // namespace velk

#endif  // VELK_TEXT_TABLE_H_
