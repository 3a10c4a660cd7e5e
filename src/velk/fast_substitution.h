// Forward and reverse substitution whose cost follows the text length, the number of matches
// and the total size of the entity texts instead of their product. The results are those of
// the literal algorithms in substitution.h, which stay the reference.
#ifndef VELK_FAST_SUBSTITUTION_H_
#define VELK_FAST_SUBSTITUTION_H_

#include <string>
#include <string_view>
#include <vector>

#include "velk/second_thread.h"
#include "velk/substitution.h"
#include "velk/token_map.h"

namespace velk {

// Same result as substitute_segment(segment, pairs) for the same ordered pairs, except that
// no entry is ever skipped for being too large for the regex engine.
std::string fast_substitute_segment(std::string_view segment,
                                    const std::vector<EntityTokenPair>& pairs);

// Same as the literal apply_token_map/deanonymize (same ordering of pairs: sorted_forward_pairs).
// From `second_thread_bytes` of text outside code on, a second thread scans part of it.
std::string fast_apply_token_map(std::string_view text, const TokenMap& map,
                                 std::size_t second_thread_bytes = kSecondThreadBytes);
std::string fast_deanonymize(std::string_view text, const TokenMap& map);

}  // namespace velk

#endif  // VELK_FAST_SUBSTITUTION_H_
