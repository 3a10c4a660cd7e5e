// The bidirectional map between entity texts and placeholder tokens, and its deterministic
// per-prefix numbering.
#ifndef VELK_TOKEN_MAP_H_
#define VELK_TOKEN_MAP_H_

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velk/entity.h"
#include "velk/string_hash.h"
#include "velk/text_table.h"
#include "velk/token_syntax.h"

namespace velk {

// What other parts derive from one layer of a table (the substitution's search index, the index
// of case variants), built on first use and shared by every later use of the layer, from any
// thread. Layers are immutable once sealed, so this is a cache, not state: a copy starts
// empty. A part that finds the layer's size changed since it derived something builds it
// again, which covers a layer still being filled.
class DerivedSlot {
 public:
  enum Kind { kMatcher, kLowerIndex, kTokensOnly, kCounters, kKindCount };

  DerivedSlot() = default;
  DerivedSlot(const DerivedSlot&) {}
  DerivedSlot& operator=(const DerivedSlot&) {
    std::lock_guard lock(mutex_);
    entries_ = {};
    return *this;
  }

  // The structure of `kind` for a layer of `size` entries, built by `build` when there is none.
  std::shared_ptr<const void> get(Kind kind, std::size_t size,
                                  const std::function<std::shared_ptr<const void>()>& build) const {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[kind];
    if (!entry.value || entry.size != size) entry = {build(), size};
    return entry.value;
  }

 private:
  struct Entry {
    std::shared_ptr<const void> value;
    std::size_t size = 0;
  };
  mutable std::mutex mutex_;
  mutable std::array<Entry, kKindCount> entries_{};
};

// Entries of one layer, and what has been derived from them.
struct TableLayer {
  TextTable entries;
  DerivedSlot derived;
};

// A string-to-string table kept as layers: sealed layers shared with the tables it was copied
// from, and a layer of its own on top. Copying a table copies pointers, and a copy that gains
// entries puts them into a new layer, so extending a large map costs in proportion to what is
// added. Layers are merged when a newer one grows to half the size of the one below it, which
// keeps their number logarithmic in the number of entries. A key is held by one layer only.
class LayeredTable {
 public:
  using value_type = TextTable::value_type;

  class const_iterator : public TextPairIterator {
   public:

    const_iterator() = default;
    value_type operator*() const { return *it_; }
    TextTable::Arrow operator->() const { return {*it_}; }
    const_iterator& operator++() {
      ++it_;
      settle();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.layer_ == b.layer_ && (a.layer_ == a.count() || a.it_ == b.it_);
    }

   private:
    friend class LayeredTable;
    const_iterator(const LayeredTable* table, std::size_t layer, TextTable::const_iterator it)
        : table_(table), layer_(layer), it_(it) {}
    std::size_t count() const { return table_ ? table_->layers_.size() : 0; }
    // Moves past the end of empty layers.
    void settle() {
      while (layer_ < count() && it_ == table_->layers_[layer_]->entries.end()) {
        if (++layer_ < count()) it_ = table_->layers_[layer_]->entries.begin();
      }
    }

    const LayeredTable* table_ = nullptr;
    std::size_t layer_ = 0;
    TextTable::const_iterator it_{};
  };

  LayeredTable() = default;
  LayeredTable(std::initializer_list<value_type> entries) { assign(TextTable(entries)); }
  LayeredTable& operator=(TextTable entries) {
    assign(std::move(entries));
    return *this;
  }
  // Copies share every layer; neither side writes into a layer that another table holds.
  LayeredTable(const LayeredTable&) = default;
  LayeredTable& operator=(const LayeredTable&) = default;
  LayeredTable(LayeredTable&& other) noexcept
      : layers_(std::move(other.layers_)), size_(std::exchange(other.size_, 0)) {}
  LayeredTable& operator=(LayeredTable&& other) noexcept {
    layers_ = std::move(other.layers_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  const_iterator begin() const {
    const_iterator it(this, 0, layers_.empty() ? TextTable::const_iterator{}
                                               : layers_.front()->entries.begin());
    it.settle();
    return it;
  }
  const_iterator end() const { return const_iterator(this, layers_.size(), {}); }

  const_iterator find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != end(); }
  std::string_view at(std::string_view key) const;

  // Adds `key` unless some layer holds it; true when it was added.
  bool try_emplace(std::string_view key, std::string_view value);
  bool emplace(std::string_view key, std::string_view value) { return try_emplace(key, value); }
  void insert_or_assign(std::string_view key, std::string_view value);
  void reserve(std::size_t extra);

  // The layers, oldest first, for what parts derive from them.
  std::vector<const TableLayer*> layers() const;
  // The newest layer, which takes what is added; nullptr when there is none.
  const TableLayer* top() const { return layers_.empty() ? nullptr : layers_.back().get(); }

  friend bool operator==(const LayeredTable& a, const LayeredTable& b);

 private:
  void assign(TextTable entries);
  // The top layer when no other table holds it, else a new empty one put on top.
  TableLayer& writable_top();
  // Merges the top layer into the one below while that one is at most twice its size.
  void merge_small_layers();

  std::vector<std::shared_ptr<TableLayer>> layers_;
  std::size_t size_ = 0;
};

struct TokenMap {
  // Entity text, exactly as the entity carries it, to its token. Case variants share a token.
  LayeredTable forward;
  // Token to the entity text that first received it.
  LayeredTable reverse;

  std::size_t size() const { return forward.size(); }
  friend bool operator==(const TokenMap&, const TokenMap&) = default;
};

// Extends a copy of `existing` (or an empty map) with `entities`, in order. Never fails.
// `lower_texts`, when given, holds to_lower of each entity's text, which the caller may have
// computed already. `tokens`, when given, receives each entity's token in the returned map,
// viewed where the map keeps it.
TokenMap build_token_map(std::span<const Entity> entities, const TokenMap* existing,
                         std::span<const std::string> lower_texts = {},
                         std::vector<std::string_view>* tokens = nullptr);

}  // namespace velk

#endif  // VELK_TOKEN_MAP_H_
