// Layered tables and build_token_map.
#include "velk/token_map.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <unordered_map>

#include "velk/ascii.h"
#include "velk/unicode.h"

namespace velk {

// ---------------------------------------------------------------------------------------------
// Layered tables

LayeredTable::const_iterator LayeredTable::find(std::string_view key) const {
  for (std::size_t i = layers_.size(); i-- > 0;) {
    const auto it = layers_[i]->entries.find(key);
    if (it != layers_[i]->entries.end()) return const_iterator(this, i, it);
  }
  return end();
}

const std::string& LayeredTable::at(std::string_view key) const {
  const auto it = find(key);
  if (it == end()) throw std::out_of_range("LayeredTable::at");
  return it->second;
}

std::string* LayeredTable::try_add(std::string_view key) {
  if (contains(key)) return nullptr;
  const auto [it, added] = writable_top().entries.try_emplace(std::string(key));
  ++size_;
  return &it->second;
}

bool LayeredTable::try_emplace(std::string_view key, std::string_view value) {
  std::string* slot = try_add(key);
  if (slot) slot->assign(value);
  return slot != nullptr;
}

void LayeredTable::insert_or_assign(std::string key, std::string value) {
  const auto it = find(key);
  if (it != end() && it.layer_ + 1 != layers_.size()) {
    // Held by a lower layer: one flat layer makes the key this table's to change.
    StringMap all(begin(), end());
    assign(std::move(all));
  }
  if (!contains(key)) ++size_;
  writable_top().entries.insert_or_assign(std::move(key), std::move(value));
}

void LayeredTable::reserve(std::size_t extra) {
  if (!layers_.empty() && layers_.back().use_count() == 1) {
    layers_.back()->entries.reserve(layers_.back()->entries.size() + extra);
  } else {
    writable_top().entries.reserve(extra);
  }
}

std::vector<const TableLayer*> LayeredTable::layers() const {
  std::vector<const TableLayer*> out;
  out.reserve(layers_.size());
  for (const auto& layer : layers_) out.push_back(layer.get());
  return out;
}

bool operator==(const LayeredTable& a, const LayeredTable& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const auto it = b.find(key);
    if (it == b.end() || it->second != value) return false;
  }
  return true;
}

void LayeredTable::assign(StringMap entries) {
  size_ = entries.size();
  layers_.clear();
  layers_.push_back(std::make_shared<TableLayer>());
  layers_.back()->entries = std::move(entries);
}

TableLayer& LayeredTable::writable_top() {
  if (!layers_.empty() && layers_.back().use_count() == 1) return *layers_.back();
  merge_small_layers();
  layers_.push_back(std::make_shared<TableLayer>());
  return *layers_.back();
}

void LayeredTable::merge_small_layers() {
  while (layers_.size() >= 2) {
    const StringMap& upper = layers_[layers_.size() - 1]->entries;
    const StringMap& lower = layers_[layers_.size() - 2]->entries;
    if (lower.size() > 2 * upper.size()) break;
    auto merged = std::make_shared<TableLayer>();
    merged->entries.reserve(lower.size() + upper.size());
    merged->entries.insert(lower.begin(), lower.end());
    merged->entries.insert(upper.begin(), upper.end());
    layers_.pop_back();
    layers_.back() = std::move(merged);
  }
}

// ---------------------------------------------------------------------------------------------
// Numbering

namespace {

// Tables keyed by texts as they compare lower-cased, without lower-casing ASCII texts: an ASCII
// text's full lower-casing is its ASCII lower-casing, so such a text stands as it is, and any
// other text stands lower-cased (which leaves no ASCII capital in it). Hash and equality fold
// ASCII capitals.
struct CaselessHash {
  // Not noexcept, so that nodes keep their hash (see StringHash).
  std::size_t operator()(std::string_view text) const {
    const std::uint64_t hash = fnv1a(text, ascii_lower);
    return static_cast<std::size_t>(hash ^ (hash >> 29));
  }
};

struct CaselessEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
  }
};

// A lower-cased key to its token, both viewed in storage that outlives the index.
class LowerIndex {
 public:
  void reserve(std::size_t size) { index_.reserve(size); }
  // Adds `key` (a forward key). Of several keys with one lower-cased form, the first in byte
  // order answers, so that which case variant is reused does not depend on hash order.
  void add(std::string_view key, std::string_view token, const std::string* lower = nullptr) {
    const auto [it, is_new] = index_.try_emplace(as_key(key, lower), Variant{key, token});
    if (!is_new && key < it->second.key) it->second = {key, token};
  }
  struct Variant {
    std::string_view key;
    std::string_view token;
  };

  // The variant of `key` that answers, if any; `lower` is its lower-cased form when known.
  const Variant* find(std::string_view key, const std::string* lower) const {
    const auto it = is_ascii(key) ? index_.find(key) : index_.find(lower ? *lower : to_lower(key));
    return it == index_.end() ? nullptr : &it->second;
  }

 private:
  std::string_view as_key(std::string_view key, const std::string* lower) {
    if (is_ascii(key)) return key;
    return owned_.emplace_back(lower ? *lower : to_lower(key));
  }

  std::unordered_map<std::string_view, Variant, CaselessHash, CaselessEqual> index_;
  std::deque<std::string> owned_;  // lower-cased forms of the keys that are not ASCII
};

using Counters = std::unordered_map<std::string, std::uint64_t, StringHash, std::equal_to<>>;

// The case-variant index of one forward layer, kept with the layer.
std::shared_ptr<const LowerIndex> lower_index_of(const TableLayer& layer) {
  return std::static_pointer_cast<const LowerIndex>(
      layer.derived.get(DerivedSlot::kLowerIndex, layer.entries.size(), [&layer] {
        auto index = std::make_shared<LowerIndex>();
        index->reserve(layer.entries.size());
        for (const auto& [key, token] : layer.entries) index->add(key, token);
        return index;
      }));
}

// The highest number of each prefix among the tokens that the keys of one reverse layer hold.
std::shared_ptr<const Counters> counters_of(const TableLayer& layer) {
  return std::static_pointer_cast<const Counters>(
      layer.derived.get(DerivedSlot::kCounters, layer.entries.size(), [&layer] {
        auto counters = std::make_shared<Counters>();
        for (const auto& [key, value] : layer.entries) {
          const auto token = find_token(key);
          if (!token) continue;
          auto counter = counters->find(token->prefix);
          if (counter == counters->end()) counter = counters->emplace(token->prefix, 0).first;
          counter->second = std::max(counter->second, parse_token_number(token->number));
        }
        return counters;
      }));
}

}  // namespace

TokenMap build_token_map(std::span<const Entity> entities, const TokenMap* existing,
                         std::span<const std::string> lower_texts) {
  // A copy shares the caller's layers; what is added goes into a layer of its own.
  TokenMap map = existing ? *existing : TokenMap{};
  const bool lowered = lower_texts.size() == entities.size();
  const std::vector<const TableLayer*> forward_layers = map.forward.layers();
  const std::vector<const TableLayer*> reverse_layers = map.reverse.layers();

  // What the map's layers derive (case-variant indexes, counters) is kept with them and built
  // only when an entity needs it: most calls in a conversation only meet mapped texts. Texts
  // added by this call go into `added`.
  std::vector<std::shared_ptr<const LowerIndex>> indexes;
  bool have_indexes = false;
  LowerIndex added;
  Counters counters;
  bool have_counters = false;

  for (std::size_t i = 0; i < entities.size(); ++i) {
    const Entity& entity = entities[i];
    std::string* token = map.forward.try_add(entity.text);
    if (!token) continue;  // a known text keeps its token
    if (!have_indexes) {
      for (const TableLayer* layer : forward_layers) indexes.push_back(lower_index_of(*layer));
      added.reserve(entities.size());
      map.forward.reserve(entities.size());
      map.reverse.reserve(entities.size());
      have_indexes = true;
    }
    // The case variant first in byte order answers, across the layers and what was added.
    const std::string* lower = lowered ? &lower_texts[i] : nullptr;
    const LowerIndex::Variant* variant = added.find(entity.text, lower);
    for (const auto& index : indexes) {
      const LowerIndex::Variant* found = index->find(entity.text, lower);
      if (found && (!variant || found->key < variant->key)) variant = found;
    }
    // The new key is viewed where the map keeps it; nodes never move.
    const std::string_view key = map.forward.find(entity.text)->first;
    if (variant) {
      token->assign(variant->token);
      added.add(key, *token, lower);
      continue;
    }
    if (!have_counters) {
      for (const TableLayer* layer : reverse_layers) {
        for (const auto& [prefix, number] : *counters_of(*layer)) {
          auto& counter = counters[prefix];
          counter = std::max(counter, number);
        }
      }
      have_counters = true;
    }
    const std::string_view prefix = token_prefix(entity.entity_type);
    auto counter = counters.find(prefix);
    if (counter == counters.end()) counter = counters.emplace(std::string(prefix), 0).first;
    // Past 4294967295 numbering goes on in 64 bits; a number that no longer parses as a
    // 32-bit counter may already stand in `reverse`, so skip any token that is taken.
    do {
      token->assign(make_token(prefix, ++counter->second));
    } while (!map.reverse.try_emplace(*token, entity.text));
    added.add(key, *token, lower);
  }
  return map;
}

}  // namespace velk
