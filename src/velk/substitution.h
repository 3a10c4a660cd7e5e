// Forward substitution (entity texts to tokens, outside code) and reverse substitution
// (tokens back to entity texts).
#ifndef VELK_SUBSTITUTION_H_
#define VELK_SUBSTITUTION_H_

#include <string>
#include <string_view>
#include <vector>

#include "velk/token_map.h"

namespace velk {

struct EntityTokenPair {
  std::string_view entity;
  std::string_view token;
};

// The forward entries whose token is one whole token, longest entity text first; equal
// lengths keep the map's order.
std::vector<EntityTokenPair> sorted_forward_pairs(const TokenMap& map);

// The pattern that finds one entity: "(?i)" + escaped text + a closing word boundary.
std::string entity_pattern(std::string_view entity);

// Replaces every occurrence of every mapped entity text outside code regions. An entity with
// empty text is left alone: it would match at every word boundary. Runs the fast substitution,
// whose results equal apply_token_map_literal's (except that it also replaces entity texts too
// large for the regex engine, which the literal algorithm has to leave in the clear).
std::string apply_token_map(std::string_view text, const TokenMap& map);

// Replaces every token that `reverse` knows by its entity text; the fast form of
// deanonymize_literal, with equal results.
std::string deanonymize(std::string_view text, const TokenMap& map);

// The literal forward algorithm: one pattern per entity and stretch. The reference that the
// fast substitution must equal.
std::string apply_token_map_literal(std::string_view text, const TokenMap& map);

// Forward substitution of one stretch that holds no code, one pattern per pair in order. This
// is the reference that any faster substitution must equal.
std::string substitute_segment(std::string_view segment, const std::vector<EntityTokenPair>& pairs);

// The literal reverse algorithm: tokens longest first, each replaced in turn. Keys that are not
// one whole token, and tokens whose entity text holds a token itself, are left alone.
std::string deanonymize_literal(std::string_view text, const TokenMap& map);

}  // namespace velk

#endif  // VELK_SUBSTITUTION_H_
