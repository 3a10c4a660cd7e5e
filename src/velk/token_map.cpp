// Layered tables and build_token_map.
#include "velk/token_map.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
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

std::string_view LayeredTable::at(std::string_view key) const {
  const auto it = find(key);
  if (it == end()) throw std::out_of_range("LayeredTable::at");
  return it->second;
}

bool LayeredTable::try_emplace(std::string_view key, std::string_view value) {
  // The layers below the one written to are asked first; the top one answers by its insertion.
  const bool own_top = !layers_.empty() && layers_.back().use_count() == 1;
  const std::size_t below = own_top ? layers_.size() - 1 : layers_.size();
  for (std::size_t i = 0; i < below; ++i) {
    if (layers_[i]->entries.contains(key)) return false;
  }
  if (!writable_top().entries.try_emplace(key, value)) return false;
  ++size_;
  return true;
}

void LayeredTable::insert_or_assign(std::string_view key, std::string_view value) {
  const auto it = find(key);
  if (it != end() && it.layer_ + 1 != layers_.size()) {
    // Held by a lower layer: one flat layer makes the key this table's to change.
    TextTable all;
    all.reserve(size_);
    for (const auto& [k, v] : *this) all.try_emplace(k, v);
    assign(std::move(all));
  }
  if (!contains(key)) ++size_;
  writable_top().entries.insert_or_assign(key, value);
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

void LayeredTable::assign(TextTable entries) {
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
    const TextTable& upper = layers_[layers_.size() - 1]->entries;
    const TextTable& lower = layers_[layers_.size() - 2]->entries;
    if (lower.size() > 2 * upper.size()) break;
    auto merged = std::make_shared<TableLayer>();
    merged->entries.reserve(lower.size() + upper.size());
    for (const auto& [key, value] : lower) merged->entries.try_emplace(key, value);
    for (const auto& [key, value] : upper) merged->entries.try_emplace(key, value);
    layers_.pop_back();
    layers_.back() = std::move(merged);
  }
}

// ---------------------------------------------------------------------------------------------
// Numbering

namespace {

// Texts compare lower-cased. An ASCII text's full lower-casing is its ASCII lower-casing, so such
// a text stands as it is (hash and equality fold ASCII capitals); any other text stands
// lower-cased, which leaves no ASCII capital in it.
std::size_t caseless_hash(std::string_view text) {
  const std::uint64_t hash = fnv1a(text, ascii_lower);
  return static_cast<std::size_t>(hash ^ (hash >> 29));
}

bool caseless_equal(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

// The case variants among the keys of one table, by entry: of several keys with one
// lower-cased form, the first in byte order answers, so that which variant is reused does not
// depend on the order of insertion. Entries of the table are added in order; the table may
// grow meanwhile (its texts never move).
class CaseVariants {
 public:
  explicit CaseVariants(const TextTable& table) : table_(table) {}

  // Room for `count` entries in all, so that adding them rehashes nothing.
  void reserve(std::size_t count) {
    std::size_t slot_count = std::max<std::size_t>(16, slots_.size());
    while (slot_count < 2 * count) slot_count *= 2;
    if (slot_count > slots_.size()) rehash(slot_count);
  }

  // Adds the entry at `index`; `lower` is its key lower-cased, when known.
  void add(std::size_t index, const std::string* lower = nullptr) {
    if (2 * (count_ + 1) > slots_.size()) rehash(std::max<std::size_t>(16, 2 * slots_.size()));
    const std::string_view key = table_.entry(index).first;
    if (!is_ascii(key)) lowered_.emplace(index, lower ? *lower : to_lower(key));
    const std::size_t slot = slot_for(form(index));
    if (slots_[slot] == 0) {
      slots_[slot] = static_cast<std::uint32_t>(index + 1);
      ++count_;
    } else if (key < table_.entry(slots_[slot] - 1).first) {
      slots_[slot] = static_cast<std::uint32_t>(index + 1);
    }
  }

  // The (key, token) that answers for the case variants of `key`, if any; `lower` is `key`
  // lower-cased, when known.
  std::optional<TextTable::value_type> find(std::string_view key, const std::string* lower) const {
    if (slots_.empty()) return std::nullopt;
    std::string owned;
    std::string_view wanted = key;
    if (!is_ascii(key)) wanted = lower ? std::string_view(*lower) : (owned = to_lower(key));
    const std::uint32_t held = slots_[slot_for(wanted)];
    if (held == 0) return std::nullopt;
    return table_.entry(held - 1);
  }

 private:
  std::string_view form(std::size_t index) const {
    const auto it = lowered_.find(index);
    return it == lowered_.end() ? table_.entry(index).first : std::string_view(it->second);
  }
  std::size_t slot_for(std::string_view wanted) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = caseless_hash(wanted) & mask;; slot = (slot + 1) & mask) {
      if (slots_[slot] == 0 || caseless_equal(form(slots_[slot] - 1), wanted)) return slot;
    }
  }
  void rehash(std::size_t slot_count) {
    std::vector<std::uint32_t> held;
    for (const std::uint32_t slot : slots_) {
      if (slot != 0) held.push_back(slot);
    }
    slots_.assign(slot_count, 0);
    for (const std::uint32_t slot : held) slots_[slot_for(form(slot - 1))] = slot;
  }

  const TextTable& table_;
  std::vector<std::uint32_t> slots_;  // 1 + entry index, 0 when free; at most half full
  std::size_t count_ = 0;
  std::unordered_map<std::size_t, std::string> lowered_;  // keys that are not ASCII
};

using Counters = std::unordered_map<std::string, std::uint64_t, StringHash, std::equal_to<>>;

// The case variants of one forward layer, kept with the layer.
std::shared_ptr<const CaseVariants> case_variants_of(const TableLayer& layer) {
  return std::static_pointer_cast<const CaseVariants>(
      layer.derived.get(DerivedSlot::kLowerIndex, layer.entries.size(), [&layer] {
        auto variants = std::make_shared<CaseVariants>(layer.entries);
        variants->reserve(layer.entries.size());
        for (std::size_t i = 0; i < layer.entries.size(); ++i) variants->add(i);
        return variants;
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
                         std::span<const std::string> lower_texts,
                         std::vector<std::string_view>* tokens) {
  // A copy shares the caller's layers; what is added goes into a layer of its own.
  TokenMap map = existing ? *existing : TokenMap{};
  const bool lowered = lower_texts.size() == entities.size();
  const std::vector<const TableLayer*> forward_layers = map.forward.layers();
  const std::vector<const TableLayer*> reverse_layers = map.reverse.layers();

  // What the map's layers derive (case variants, counters) is kept with them and built only
  // when an entity needs it: most calls in a conversation only meet mapped texts. Texts added
  // by this call go into the layer on top, whose case variants `added` follows.
  std::vector<std::shared_ptr<const CaseVariants>> layer_variants;
  bool have_variants = false;
  std::optional<CaseVariants> added;
  Counters counters;
  bool have_counters = false;

  for (std::size_t i = 0; i < entities.size(); ++i) {
    const Entity& entity = entities[i];
    if (const auto known = map.forward.find(entity.text); known != map.forward.end()) {
      if (tokens) tokens->push_back(known->second);  // a known text keeps its token
      continue;
    }
    if (!have_variants) {
      for (const TableLayer* layer : forward_layers) {
        layer_variants.push_back(case_variants_of(*layer));
      }
      map.forward.reserve(entities.size());
      map.reverse.reserve(entities.size());
      have_variants = true;
    }
    // The case variant first in byte order answers, across the layers and what was added.
    const std::string* lower = lowered ? &lower_texts[i] : nullptr;
    std::optional<TextTable::value_type> variant;
    if (added) variant = added->find(entity.text, lower);
    for (const auto& variants : layer_variants) {
      const auto found = variants->find(entity.text, lower);
      if (found && (!variant || found->first < variant->first)) variant = found;
    }
    std::string token;
    if (variant) {
      token.assign(variant->second);
    } else {
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
        token = make_token(prefix, ++counter->second);
      } while (!map.reverse.try_emplace(token, entity.text));
    }
    map.forward.try_emplace(entity.text, token);
    // The first text added put a layer of this map's own on top; the later ones go there too.
    const TextTable& top = map.forward.top()->entries;
    if (!added) {
      added.emplace(top);
      added->reserve(entities.size() - i);
    }
    added->add(top.size() - 1, lower);
    if (tokens) tokens->push_back(top.entry(top.size() - 1).second);
  }
  return map;
}

}  // namespace velk
