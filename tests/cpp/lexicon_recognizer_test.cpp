// The lexicon recognizer: the words White_Space separates, each rule and its order, span
// trimming, de-duplication, Unicode corners and long texts.
#include "velk/lexicon_recognizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "velk/unicode.h"

namespace velk {
namespace {

Entity person(std::string text) { return {std::move(text), EntityType::Person}; }
Entity place(std::string text) { return {std::move(text), EntityType::Place}; }
Entity org(std::string text) { return {std::move(text), EntityType::Org}; }

TEST(ExtractLexiconEntities, ReportsExactlyTheExpectedEntities) {
  const auto extract = [](std::string_view text) { return extract_lexicon_entities(text); };
  test::expect_rows<std::string, std::vector<Entity>>(extract, {
      // An honorific's window ending at a lower-case word, a first name with its surname, a place
      // with a comma and a code, a two-word place and a company suffix whose period is trimmed.
      {"worked example",
       "Yesterday Dr. Jane Smith moved from Dallas, TX to New York to join Acme Corp. with "
       "Sarah Miller.",
       {person("Jane Smith"), place("Dallas"), place("TX"), place("New York"), org("Acme Corp"),
        person("Sarah Miller")}},
      {"honorific in lower case", "dr. Jane", {person("Jane")}},
      {"lower-case name after an honorific", "Dr. jane", {}},
      {"window of at most three words", "Dr. Jane Ann Marie Smith", {person("Jane Ann Marie")}},
      {"placeholder ends the window", "Dr. Jane [PERSON_1] Smith", {person("Jane")}},
      {"a placeholder after a bracket ends the window", "Dr. Jane [[B_2]]", {person("Jane")}},
      {"honorific with an apostrophe", "ma'am Smith", {person("Smith")}},
      {"tech term dropped, not remembered", "Dr. Python and Dr. PYTHON", {person("PYTHON")}},
      {"a place is no surname", "Sarah Dallas", {person("Sarah"), place("Dallas")}},
      {"a tech term is no surname", "Sarah Python", {person("Sarah")}},
      {"first name before two-word place", "Virginia Beach", {person("Virginia Beach")}},
      {"a lone dash is invisible", "Sarah - Miller", {person("Sarah - Miller")}},
      {"possessive surname kept whole", "Kate O'Brien's car", {person("Kate O'Brien's")}},
      {"two-word place in capitals", "NEW YORK", {place("NEW YORK")}},
      {"comma pair needs the place shape", "Dallas, Tx", {place("Dallas")}},
      {"code after a preposition", "moved to LA", {place("LA")}},
      {"in is no place preposition", "in LA", {}},
      {"code confirmed by a previous comma", "Yes, OK", {place("OK")}},
      {"code with its own comma ignores the verb", "OK, is it", {}},
      {"lower-case suffix", "Acme corp", {org("Acme corp")}},
      {"placeholder takes no suffix", "[ORG_1] Inc", {}},
      {"a placeholder needs its underscore", "[AB] Inc", {org("AB] Inc")}},
      // The first occurrence of a text wins.
      {"case variant repeated", "Jane Smith and JANE SMITH", {person("Jane Smith")}},
      {"shorter text is another entity", "Georgia Smith called. Later Georgia said hi.",
       {person("Georgia Smith"), person("Georgia")}},
      {"place shadows a later first name", "We drove to Dallas, Georgia and met Georgia there.",
       {place("Dallas"), place("Georgia")}},
      {"double quotes kept", "\"Jane Smith\" wrote", {person("\"Jane Smith\"")}},
      {"other leading punctuation hides the capital", "**Jane** called", {}},
      {"brackets and white space in a span", "Dr. [(Jane \n Smith!)].", {person("Jane \n Smith")}},
      {"U+180E does not split", "Dr. Jane\u180ESmith", {person("Jane\u180ESmith")}},
      {"Kelvin sign lower-cases into a name", "Mar\u212A Twain", {person("Mar\u212A Twain")}},
      {"final sigma variants are one text", "Dr. AΣ met Dr. Aς", {person("AΣ")}},
      {"an accented letter keeps a word out of the ASCII sets", "Jan\u00E9 Smith", {}},
      // Code regions: no name, place or company joins words across their start or end.
      {"a first name before a fenced block stays alone", "Thanks Alice\n```\nTraceback\n```\n",
       {person("Alice")}},
      {"an honorific's window stops at code", "Dr. Jane Ann `Marie` Smith", {person("Jane Ann")}},
      {"a company suffix in code is not joined", "Acme `Corp` ok", {}},
      {"a two-word place is not joined across a span", "New `York` City", {}},
  });
}

// A White_Space character ends the name an honorific opens before the lower-case word, any other
// character keeps that word in it; the name's length moves the character through the lanes of an
// eight-byte block. Every White_Space character lies below U+3001; above it one code point in 97
// still meets every lead byte.
TEST(ExtractLexiconEntities, EveryWhiteSpaceCharacterAndNoOtherSeparatesWords) {
  for (char32_t c = 1; c <= 0x10FFFF && !HasFailure(); c += (c < 0x3100 ? 1 : 97)) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string name = "Ja" + std::string(c % 11, 'a');
    std::string character;
    append_utf8(character, c);
    const std::vector<Entity> expected = {
        person(is_white_space(c) ? name : name + character + "smith")};
    EXPECT_EQ(extract_lexicon_entities("Dr. " + name + character + "smith"), expected)
        << "U+" << std::hex << static_cast<unsigned>(c);
  }
}

// Texts of megabytes, where a recognizer that is not linear would run for hours.
TEST(ExtractLexiconEntities, LongTextsGiveExactlyTheEntitiesOfShortOnes) {
  // Non-ASCII, so lower-casing takes the full Unicode path on one 10 MB word.
  EXPECT_EQ(extract_lexicon_entities(test::repeat("JanéΣ", 10'000'000)), std::vector<Entity>{});
  // The name, company, place-pair, two-word place and state-code paths; every repetition after
  // the first is a duplicate.
  EXPECT_EQ(extract_lexicon_entities(
                test::repeat("Sarah Miller Acme Corp Dallas, TX New York Hi Ok Zed ", 5'000'000)),
            (std::vector<Entity>{person("Sarah Miller"), org("Acme Corp"), place("Dallas"),
                                 place("TX"), place("New York")}));
}

}  // namespace
}  // namespace velk
