// The forward substitution as one indexed scan per stretch, whose cost follows the length of
// the text and the number of places where entity texts occur, not the number of entity texts.
// Its results equal those of the literal algorithm (literal_substitution.h).
#ifndef VELK_FAST_SUBSTITUTION_H_
#define VELK_FAST_SUBSTITUTION_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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
  // `pairs` in the order of sorted_forward_pairs, none with an empty entity text.
  explicit ForwardMatcher(std::vector<EntityTokenPair> pairs);

  bool empty() const { return pairs_.empty(); }

 private:
  friend class StretchMatch;

  static constexpr std::uint32_t kAnchorLengths[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64};
  static constexpr std::uint32_t kNoFold = UINT32_MAX;

  struct PairInfo {
    std::uint32_t folded_length;  // in bytes
    std::uint32_t folded_at;      // into folded_, or kNoFold when the fold is ASCII lowercase
    bool case_sensitive;
    bool closing_boundary;
  };
  // The pairs whose texts share one anchor: by_anchor_[begin, end).
  struct Group {
    std::uint64_t hash;
    std::uint32_t level;
    std::uint32_t begin;
    std::uint32_t end;
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

  const Group* find_group(std::uint64_t hash, std::uint32_t level) const;
  // Whether pair `pair`'s folded text stands in `folded` at `at`.
  bool matches_at(std::uint32_t pair, std::string_view folded, std::size_t at) const;

  std::vector<EntityTokenPair> pairs_;
  std::vector<PairInfo> info_;
  std::string folded_;                // the folds that ASCII lowercase does not give
  // Two bits per hashed prefix, a filter per anchor length: the short prefixes that a scan
  // hashes at nearly every position then stay in the nearest cache.
  struct Filter {
    std::vector<std::uint64_t> words;
    unsigned shift = 63;
  };
  std::array<Filter, std::size(kAnchorLengths)> filters_;
  std::vector<std::uint8_t> two_bytes_;  // empty, or 65536 entries: first byte + 256 × second
  std::vector<std::uint32_t> slots_;  // open addressing into groups_: 1 + index, 0 when free
  std::vector<Group> groups_;
  std::vector<std::uint32_t> by_anchor_;
  std::uint32_t anchored_levels_ = 0;  // bit i: some text is anchored at kAnchorLengths[i]
  std::uint32_t levels_ = 0;           // the deepest level anchored, plus one
};

// Appends to `out`, in text order, what the forward substitution replaces in `stretch` (text
// without code), at offsets into the stretch plus `offset`. The pairs of all `matchers` are
// taken together, in the order of sorted_forward_pairs; no entity text is in two of them.
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
