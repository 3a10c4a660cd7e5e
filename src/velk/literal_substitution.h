// The literal substitution algorithms: one regex per entity text and stretch forwards, one
// search per token backwards, each over the text as the earlier pairs left it. They are the
// reference that the fast substitution must equal, kept simple rather than quick, and only the
// tests, fuzz targets and benchmarks use them (the velk_reference library).
#ifndef VELK_LITERAL_SUBSTITUTION_H_
#define VELK_LITERAL_SUBSTITUTION_H_

#include <string>
#include <string_view>
#include <vector>

#include "velk/substitution_rules.h"
#include "velk/token_map.h"

namespace velk {

// Forward substitution of one stretch that holds no code, one pattern per pair in the given
// order. A pair matches only inside text that no earlier pair replaced (inserted tokens are
// never searched again, and the text on the two sides of one is never joined into a match);
// the character before a match and the one after it are read from the current text. A pair
// whose pattern the engine refuses is skipped.
std::string substitute_segment(std::string_view segment, const std::vector<EntityTokenPair>& pairs);

// substitute_segment over every stretch between code regions, with sorted_forward_pairs.
std::string apply_token_map_literal(std::string_view text, const TokenMap& map);

// Every occurrence of each token of sorted_reverse_pairs, in that order, that lies in text no
// earlier token replaced, becomes its entity text (exact, case-sensitive byte match).
std::string deanonymize_literal(std::string_view text, const TokenMap& map);

}  // namespace velk

#endif  // VELK_LITERAL_SUBSTITUTION_H_
