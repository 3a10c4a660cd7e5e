// The word sets of the lexicon recognizer: first names and places parsed from the compiled-in
// word lists, the two place sets derived from them, and the five small fixed lists.
#ifndef VELK_LEXICONS_H_
#define VELK_LEXICONS_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "velk/string_hash.h"

namespace velk {

// Parses a line-oriented word list: lines split at line feeds (a carriage return right before
// the line feed goes with it), each trimmed of White_Space; blank lines and lines whose first
// character is "#" are skipped. Entries are kept unchanged as views into `text`, which must
// outlive the result; a repeated line gives one entry.
ViewSet parse_lexicon(std::string_view text);

// Each set below is built on its first use, immutable afterwards, and holds views into data
// compiled into the module. Membership (`contains`) is exact byte equality and never
// allocates; the recognizer always probes with lower-cased words.

// FIRST_NAMES: the parsed `first_names` list (775 entries).
const ViewSet& first_names();
// PLACE_NAMES: the parsed `place_names` list (346 entries); only the source of the two below.
const ViewSet& place_names();
// MULTI_WORD_PLACES: place entries that contain a space (43).
const ViewSet& multi_word_places();
// SINGLE_WORD_PLACES: every other place entry (303).
const ViewSet& single_word_places();
// HONORIFICS: words before a person's name, without trailing periods ("dr", "mrs").
const ViewSet& honorifics();
// ORG_SUFFIXES: company-form words that follow a company name ("inc", "gmbh").
const ViewSet& org_suffixes();
// PLACE_PREPOSITIONS: a preceding word that confirms an ambiguous state code as a place.
const ViewSet& place_prepositions();
// AMBIGUOUS_STATE_CODES: postal codes that are also everyday words ("ok", "hi", "me").
const ViewSet& ambiguous_state_codes();
// PLACE_VERBS: a following word that confirms an ambiguous state code as a place.
const ViewSet& place_verbs();

// Which of the sets above hold a word, as bits: one probe answers every one-word question the
// recognizer asks about a word.
inline constexpr std::uint8_t kRoleFirstName = 1 << 0;
inline constexpr std::uint8_t kRoleSingleWordPlace = 1 << 1;
inline constexpr std::uint8_t kRoleMultiWordPlaceStart = 1 << 2;  // a multi-word place's first word
inline constexpr std::uint8_t kRoleHonorific = 1 << 3;
inline constexpr std::uint8_t kRoleOrgSuffix = 1 << 4;
inline constexpr std::uint8_t kRolePlacePreposition = 1 << 5;
inline constexpr std::uint8_t kRoleAmbiguousStateCode = 1 << 6;
inline constexpr std::uint8_t kRolePlaceVerb = 1 << 7;

// The roles of `word`, compared exactly like `contains` (so probe with a lower-cased word); 0
// for a word in none of the sets. Never allocates.
std::uint8_t lexicon_roles(std::string_view word);

// The roles of the lower-cased form of `word` when it is ASCII, found without lower-casing it:
// lexicon_roles(to_lower(word)). Nothing when `word` holds a non-ASCII byte.
std::optional<std::uint8_t> ascii_lexicon_roles(std::string_view word);

}  // namespace velk

#endif  // VELK_LEXICONS_H_
