// The rules that both substitution algorithms share: which map entries take part and in which
// order, how an entity text is matched (case, closing boundary), and which character before a
// match leaves it in place. The literal algorithm reads them as a regex; the fast one reads
// them directly.
#ifndef VELK_SUBSTITUTION_RULES_H_
#define VELK_SUBSTITUTION_RULES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velk/ascii.h"
#include "velk/token_map.h"

namespace velk {

struct EntityTokenPair {
  std::string_view entity;
  std::string_view token;
};

// The forward entries with a non-empty entity text (an empty one would match at every word
// boundary), longest entity text first, equal lengths in ascending byte order, so that a map
// and the same map read back from its session substitute alike.
std::vector<EntityTokenPair> sorted_forward_pairs(const TokenMap& map);
// The same order for the entries of one layer of the forward table, as entry numbers.
std::vector<std::uint32_t> sorted_forward_entries(const TextTable& entries);

// The reverse entries to restore, as (token, entity text): non-empty tokens whose entity text
// holds no token (restoring it would put a token into the text), longest token first, equal
// lengths in ascending byte order.
std::vector<EntityTokenPair> sorted_reverse_pairs(const TokenMap& map);

// One to three ASCII capitals (OR, IN, IBM): such a text is an abbreviation only as written,
// and in any other case an everyday word, so it matches case-sensitively.
bool is_short_capitals(std::string_view entity);

// Whether a match of `entity` must end at a word boundary: only when its last character is a
// word character. A text that ends in punctuation ("Acme, Inc.", "https://x.io/a/") matches
// wherever it occurs.
bool needs_closing_boundary(std::string_view entity);

// Word characters as the closing boundary sees them: letters (Alphabetic), combining marks,
// decimal digits, connector punctuation and the two joiners, judged by the regex engine's own
// tables so that both algorithms agree.
bool is_boundary_word_char(char32_t c);

// A character right before a match that leaves the match unreplaced: an ASCII letter, digit,
// underscore, slash or at sign (the entity text is then part of a longer word, path or
// address).
constexpr bool blocks_match(char32_t before) {
  return before < 0x80 && (is_ascii_word_byte(static_cast<char>(before)) || before == '/' ||
                           before == '@');
}

// Bit k set when bytes[k] blocks a match right after it, for the 64 bytes from `bytes`: the
// answer of blocks_match for each byte, sixteen at a time where the processor has the
// instructions for it.
std::uint64_t blocking_mask(const char* bytes);

// The regex that finds one entity text: "(?i)" unless it is short capitals, the text with its
// metacharacters escaped, and a closing word boundary when needs_closing_boundary says so.
std::string entity_pattern(std::string_view entity);

}  // namespace velk

#endif  // VELK_SUBSTITUTION_RULES_H_
