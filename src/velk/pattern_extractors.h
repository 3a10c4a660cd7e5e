// The pattern pass (URLs, e-mail addresses, bare domains, handles, phone numbers, IPv4
// addresses, secret-looking tokens) and the CamelCase project pass: which matches of the fixed
// patterns (pattern_search.h) become entities, in which order, and which text they report.
#ifndef VELK_PATTERN_EXTRACTORS_H_
#define VELK_PATTERN_EXTRACTORS_H_

#include <span>
#include <string_view>
#include <vector>

#include "velk/entity.h"
#include "velk/pattern_search.h"
#include "velk/string_hash.h"

namespace velk {

// URLs, then e-mail addresses, domains, handles, phones, IP addresses and secrets, each group
// in text order; a text (compared lower-cased) is reported once, by the first pattern that
// yields it. `places`, when given, receives every place where a reported text was found,
// repeats included. `lowers`, when given, receives each reported text lower-cased, in the same
// order: the pass computes them anyway.
std::vector<Entity> extract_pattern_entities(std::string_view text,
                                             std::vector<EntityPlace>* places = nullptr,
                                             std::vector<std::string>* lowers = nullptr);

// CamelCase words as Project entities in text order, leaving out allowlist entries, words whose
// lower-cased text is in `exclude_texts` and repeats in any capitalisation. `places`, when
// given, receives every place of a reported word, repeats included.
std::vector<Entity> extract_camel_case_projects(std::string_view text,
                                                const StringSet& exclude_texts,
                                                std::vector<EntityPlace>* places = nullptr);

// The same, from the CamelCase words find_pattern_matches(PatternId::kCamelCase, text) gave:
// the search does not depend on `exclude_texts`, so it can run while the other passes do.
std::vector<Entity> extract_camel_case_projects(
    std::string_view text, std::span<const pattern_internals::MatchSpan> words,
    const ViewSet& exclude_texts, std::vector<EntityPlace>* places = nullptr);

namespace pattern_internals {

// The text tests of the secret rule that follow the match: not an allowlist entry (exactly),
// and at least one ASCII digit and one ASCII letter.
bool passes_secret_checks(std::string_view match);

}  // namespace pattern_internals

}  // namespace velk

#endif  // VELK_PATTERN_EXTRACTORS_H_
