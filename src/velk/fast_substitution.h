// The forward substitution as one automaton scan per stretch, whose cost follows the length of
// the text and the number of places where entity texts occur, not the number of entity texts.
// Its results equal those of the literal algorithm (literal_substitution.h).
#ifndef VELK_FAST_SUBSTITUTION_H_
#define VELK_FAST_SUBSTITUTION_H_

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

// The entity texts of a map, folded and arranged for search. Immutable once built, so one
// matcher serves any number of calls and threads; it views the texts of its pairs.
class ForwardMatcher {
 public:
  // `pairs` in the order of sorted_forward_pairs, none with an empty entity text.
  explicit ForwardMatcher(std::vector<EntityTokenPair> pairs);

  bool empty() const { return pairs_.empty(); }

 private:
  friend class StretchMatch;

  struct Node {
    std::uint32_t fail = 0;
    std::uint32_t output_link = 0;  // nearest node on the failure chain with outputs, or 0
    std::uint32_t outputs_begin = 0;
    std::uint32_t outputs_end = 0;  // pairs whose folded text ends here, in pair order
    std::uint32_t edges_begin = 0;
    std::uint32_t edges_end = 0;
  };
  struct Edge {
    std::uint8_t byte;
    std::uint32_t target;
  };
  struct PairInfo {
    std::uint32_t folded_length;  // in bytes
    bool case_sensitive;
    bool closing_boundary;
  };

  // Shallow nodes with a full row of next nodes each: at most this many rows (a megabyte).
  static constexpr std::uint32_t kDenseRows = 1024;

  std::uint32_t step(std::uint32_t node, std::uint8_t byte) const;
  void renumber_breadth_first();

  std::vector<EntityTokenPair> pairs_;
  std::vector<PairInfo> info_;
  std::vector<Node> nodes_;          // node 0 is the root
  std::vector<Edge> edges_;          // each node's edges sorted by byte
  std::vector<std::uint32_t> outputs_;
  std::vector<std::uint32_t> dense_;  // 256 next nodes for each node below dense_rows_
  std::uint32_t dense_rows_ = 0;
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
