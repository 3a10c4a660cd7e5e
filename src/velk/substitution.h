// Forward substitution (entity texts to tokens, outside code) and reverse substitution (tokens
// back to entity texts): the entry points the pipeline and the module use.
//
// Forwards, the map's pairs are taken longest entity text first; each replaces its entity text,
// caselessly (short capitals exactly), where no ASCII letter, digit, '_', '/' or '@' stands
// before it and, if it ends in a word character, no word character follows; and only inside
// text that no earlier pair replaced. Backwards, known tokens become their entity texts, again
// never inside text already restored. So the output is the input with disjoint stretches
// replaced, never searched twice, and at most the input's length times the longest token.
#ifndef VELK_SUBSTITUTION_H_
#define VELK_SUBSTITUTION_H_

#include <string>
#include <string_view>
#include <vector>

#include "velk/code_regions.h"
#include "velk/fast_substitution.h"
#include "velk/token_map.h"

namespace velk {

// Replaces every occurrence of every mapped entity text outside code regions.
std::string apply_token_map(std::string_view text, const TokenMap& map);

// A place where a detector found an entity, to be replaced by `token` unless code or a
// replacement of the map substitution touches it.
struct ForcedPlace {
  std::size_t start;
  std::size_t end;
  std::string_view token;
};

// apply_token_map, then every place that lies wholly outside code and of which the map
// substitution replaced nothing is replaced too. Of places that overlap each other the longer
// wins, then the earlier. `regions` are the text's code regions (find_code_regions).
std::string apply_token_map_at_places(std::string_view text, const TokenMap& map,
                                      std::vector<ForcedPlace> places,
                                      const std::vector<CodeRegion>& regions);

// Replaces every token that `reverse` knows by its entity text; entries whose entity text
// holds a token themselves stay in the text as they are.
std::string deanonymize(std::string_view text, const TokenMap& map);

}  // namespace velk

#endif  // VELK_SUBSTITUTION_H_
