// The forward substitution as one indexed scan per stretch, whose cost follows the length of
// the text and the number of places where entity texts occur, not the number of entity texts.
// Its results equal those of the literal algorithm (literal_substitution.h).
#ifndef VELK_FAST_SUBSTITUTION_H_
#define VELK_FAST_SUBSTITUTION_H_

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "velk/substitution_rules.h"

namespace velk {

// One stretch of the input to replace: [start, end) becomes `text`.
struct Replacement {
  std::size_t start;
  std::size_t end;
  std::string_view text;
};

// The entity texts of a map, folded and indexed for search. Immutable once built, so one
// matcher serves any number of calls and threads; it views the texts of its pairs.
//
// Each folded text is indexed under a prefix of itself, its anchor: the longest of the lengths
// in kAnchorLengths that it has. A scan hashes the folded text from each position one anchor
// length after another, stops as soon as no entity text begins with what it has hashed (a
// filter of bits answers that), and compares in full the texts anchored on what it hashed. Memory
// follows the number of entity texts, not their bytes, and building it is one pass and a sort.
class ForwardMatcher {
 public:
  // The entries of one layer of a map with a non-empty entity text, in the order of
  // sorted_forward_pairs, viewed where `entries` keeps them (it must outlive the matcher): a
  // number per entry, where a pair of views would take eight times as much.
  explicit ForwardMatcher(const TextTable& entries);
  // `pairs` in their order, none with an empty entity text.
  explicit ForwardMatcher(std::vector<EntityTokenPair> pairs);

  // The prefix lengths texts are anchored on.
  static constexpr std::uint32_t kAnchorLengths[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64};

  std::size_t size() const { return table_ ? entries_.size() : pairs_.size(); }
  bool empty() const { return size() == 0; }
  EntityTokenPair pair(std::uint32_t i) const {
    if (table_ == nullptr) return pairs_[i];
    const auto [entity, token] = table_->entry(entries_[i]);
    return {entity, token};
  }

 private:
  friend class StretchMatch;


  struct PairInfo {
    std::uint64_t head;           // the first eight folded bytes (fewer: zero bytes follow)
    std::uint32_t folded_length;  // in bytes
    bool case_sensitive;
    bool closing_boundary;
    bool folded;  // the fold is not the ASCII lowercase: folded_at_ tells where it is kept
    bool overlaps_itself = false;  // some shift of the folded text overlaps it: border_shifts
  };

  // Two bits of the filter for a hashed prefix: kLonger when some text anchored deeper begins
  // with it (hashing on may find more), kAnchor when some text is anchored on it.
  static constexpr unsigned kLonger = 1;
  static constexpr unsigned kAnchor = 2;
  unsigned filter_bits(std::uint32_t level, std::uint64_t hash) const {
    const Filter& filter = filters_[level];
    const std::uint64_t bit = (hash >> filter.shift) & ~std::uint64_t{1};
    return static_cast<unsigned>(filter.words[bit >> 6] >> (bit & 63)) & 3;
  }
  // For a matcher of many texts, a table of what the first two bytes allow, exact, so that
  // most positions take one load: kOneByte (a text is that one byte), kTwoBytes (a text is
  // those two) and kLonger (a text of three bytes or more begins with them).
  static constexpr std::size_t kTwoByteTableFrom = 512;
  static constexpr std::uint8_t kOneByte = 1;
  static constexpr std::uint8_t kTwoBytes = 2;
  static constexpr std::uint8_t kLongerThanTwo = 4;

  // The pairs whose texts are anchored on the prefix of `level` with hash `hash`.
  std::span<const std::uint32_t> find_group(std::uint64_t hash, std::uint32_t level) const;
  // Whether pair `pair`'s folded text stands in `folded` at `at`; `folded` must be followed by
  // eight readable bytes (the scan's padding).
  bool matches_at(std::uint32_t pair, std::string_view folded, std::size_t at) const;

  // The shifts s (0 < s < length) at which a pair's folded text overlaps itself, so that two
  // of its occurrences can start s bytes apart; empty for most texts.
  std::span<const std::uint32_t> border_shifts(std::uint32_t pair) const;
  void add_border_shifts(std::uint32_t pair, std::string_view folded,
                         std::vector<std::uint32_t>& border);

  void build();

  const TextTable* table_ = nullptr;
  std::vector<std::uint32_t> entries_;  // of table_, in pair order
  std::vector<EntityTokenPair> pairs_;  // without a table
  std::vector<PairInfo> info_;
  std::string folded_;  // the folds that ASCII lowercase does not give
  std::unordered_map<std::uint32_t, std::uint32_t> folded_at_;  // pair to its fold in folded_
  // Two bits per hashed prefix, a filter per anchor length: the short prefixes that a scan
  // hashes at nearly every position then stay in the nearest cache.
  struct Filter {
    std::vector<std::uint64_t> words;
    unsigned shift = 63;
  };
  std::array<Filter, std::size(kAnchorLengths)> filters_;
  std::vector<std::uint8_t> two_bytes_;  // empty, or 65536 entries: first byte + 256 × second
  // The groups of pairs that share an anchor: group g holds by_anchor_[group_begin_[g],
  // group_begin_[g + 1]) and is found through slots_ (open addressing: 1 + g, 0 when free).
  std::vector<std::uint32_t> slots_;
  std::vector<std::uint64_t> group_hash_;
  std::vector<std::uint32_t> group_begin_;
  std::vector<std::uint8_t> group_level_;
  std::vector<std::uint32_t> by_anchor_;
  // The shifts of the texts that overlap themselves, by pair: border_shifts_[i] is one of
  // pair border_pairs_[i]'s.
  std::vector<std::uint32_t> border_pairs_;
  std::vector<std::uint32_t> border_shifts_;
  std::uint32_t anchored_levels_ = 0;  // bit i: some text is anchored at kAnchorLengths[i]
  std::uint32_t levels_ = 0;           // the deepest level anchored, plus one
};

// What matching a stretch allocates, kept for the next stretch: a text holds many short
// stretches between its pieces of code, and allocating anew for each would cost more than
// matching some of them.
class StretchBuffers {
 public:
  StretchBuffers();
  ~StretchBuffers();
  StretchBuffers(const StretchBuffers&) = delete;
  StretchBuffers& operator=(const StretchBuffers&) = delete;

 private:
  friend class StretchMatch;
  friend void find_replacements(std::span<const ForwardMatcher* const>, std::string_view,
                                std::size_t, std::vector<Replacement>&, StretchBuffers&);
  struct Vectors;
  std::unique_ptr<Vectors> vectors_;
};

// Appends to `out`, in text order, what the forward substitution replaces in `stretch` (text
// without code), at offsets into the stretch plus `offset`. The pairs of all `matchers` are
// taken together, in the order of sorted_forward_pairs; no entity text is in two of them.
// `buffers` may serve one call after another, from one thread at a time.
void find_replacements(std::span<const ForwardMatcher* const> matchers, std::string_view stretch,
                       std::size_t offset, std::vector<Replacement>& out,
                       StretchBuffers& buffers);
void find_replacements(std::span<const ForwardMatcher* const> matchers, std::string_view stretch,
                       std::size_t offset, std::vector<Replacement>& out);

// `text` with each replacement's stretch replaced by its text; `replacements` in text order,
// none overlapping.
std::string splice(std::string_view text, const std::vector<Replacement>& replacements);

// The simple case fold of `text`, character by character (what caseless matching compares).
std::string fold_text(std::string_view text);

// Same result as substitute_segment(segment, pairs) for the same ordered pairs, except that no
// pair is ever skipped for being too large for the regex engine.
std::string fast_substitute_segment(std::string_view segment,
                                    const std::vector<EntityTokenPair>& pairs);

}  // namespace velk

#endif  // VELK_FAST_SUBSTITUTION_H_
