// The lexicon recognizer: finds people, places and organisations by cutting the text into
// words, looking them up in the word sets and applying a fixed order of rules about
// capitalisation and neighbouring words.
#ifndef VELK_LEXICON_RECOGNIZER_H_
#define VELK_LEXICON_RECOGNIZER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "velk/entity.h"

namespace velk {

// One white-space-delimited word of the input.
struct WordToken {
  std::string_view raw;   // the piece between white space, unchanged
  std::string_view core;  // `raw` without edge punctuation; never empty
  std::string lower;      // `core`, fully lower-cased
  bool starts_upper;      // `core` begins with an ASCII capital A-Z
  bool is_token;          // `raw` holds a placeholder such as [PERSON_1] (anywhere in it)
};

// Splits `text` at White_Space and trims each piece: trailing ASCII punctuation up to an
// apostrophe, then leading "(", "[", double quotes and apostrophes. Pieces that trim to
// nothing are dropped. The views point into `text`. The recognizer reads the same words one at
// a time; this collects them all.
std::vector<WordToken> tokenize_words(std::string_view text);

// The stretch of `text` from the start of `first.raw` to the end of `last.raw`, inner white
// space included, with ASCII punctuation other than double quotes and apostrophes trimmed
// from both ends. Both tokens must come from tokenize_words(text).
std::string span_text(std::string_view text, const WordToken& first, const WordToken& last);

// Whether a word may stand for a place on its own: longer than three bytes, or without any
// lower-case ASCII letter (so "TX" is, "Tx" and "Hi" are not).
bool is_place_shaped(const WordToken& token);

// Person, Place and Org entities in text order; the first occurrence of a text (ignoring case)
// wins, and tech terms and one-byte texts are never reported. No entity joins words across
// the start or end of a code region. `places`, when given, receives every place where a
// reported text was found, repeats included.
std::vector<Entity> extract_lexicon_entities(std::string_view text,
                                             std::vector<EntityPlace>* places = nullptr);

}  // namespace velk

#endif  // VELK_LEXICON_RECOGNIZER_H_
