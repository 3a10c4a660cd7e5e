// The lexicon recognizer: finds people, places and organisations by cutting the text into
// words, looking them up in the word sets and applying a fixed order of rules about
// capitalisation and neighbouring words.
#ifndef VELK_LEXICON_RECOGNIZER_H_
#define VELK_LEXICON_RECOGNIZER_H_

#include <string_view>
#include <vector>

#include "velk/code_regions.h"
#include "velk/entity.h"

namespace velk {

// Person, Place and Org entities in text order; the first occurrence of a text (ignoring case)
// wins, and tech terms and one-byte texts are never reported. No entity joins words across
// the start or end of a code region. `places`, when given, receives every place where a
// reported text was found, repeats included. `code_regions`, when given, are the text's code
// regions (find_code_regions), for a caller that needs them too.
std::vector<Entity> extract_lexicon_entities(std::string_view text,
                                             std::vector<EntityPlace>* places = nullptr,
                                             const std::vector<CodeRegion>* code_regions = nullptr);

}  // namespace velk

#endif  // VELK_LEXICON_RECOGNIZER_H_
