// The recognizer's word splitter and its lookups of non-ASCII words: every White_Space
// character and no other separates words, wherever it falls in an eight-byte block, and words
// that only ICU lower-cases still reach the word sets.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "velk/lexicon_recognizer.h"
#include "velk/unicode.h"

namespace velk {
namespace {

std::vector<std::string> raw_words(std::string_view text) {
  std::vector<std::string> words;
  for (const WordToken& token : tokenize_words(text)) words.emplace_back(token.raw);
  return words;
}

TEST(TokenizeWords, EveryWhiteSpaceCharacterAndNoOtherSeparatesWords) {
  // Every White_Space character lies below U+3001; above it one code point in 97 still meets
  // every lead byte. The prefix length moves the character through the lanes of a block.
  int failures = 0;
  for (char32_t c = 1; c <= 0x10FFFF && failures < 5; c += (c < 0x3100 ? 1 : 97)) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string prefix(1 + c % 11, 'a');
    const std::string suffix = "bcdefghij";
    std::string character;
    append_utf8(character, c);
    const std::vector<std::string> expected =
        is_white_space(c) ? std::vector<std::string>{prefix, suffix}
                          : std::vector<std::string>{prefix + character + suffix};
    const std::vector<std::string> actual = raw_words(prefix + character + suffix);
    if (actual != expected) {
      ++failures;
      ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(c) << " gives " << actual.size()
                    << " words";
    }
  }
}

TEST(TokenizeWords, SplitsLongWordsWithNonAsciiLettersAtEveryOffset) {
  for (std::string_view space : {" ", "\t", "\u00A0", "\u2003", "\u3000", "\u0085"}) {
    for (std::size_t length = 0; length <= 24; ++length) {
      const std::string first = std::string(length, 'x') + "\u00E9";
      const std::string second = "\u00E9" + std::string(length, 'y');
      const std::string text = first + std::string(space) + second + std::string(space);
      EXPECT_EQ(raw_words(text), (std::vector<std::string>{first, second}))
          << "length " << length << ", space " << debug_string(space);
    }
  }
}

TEST(ExtractLexiconEntities, FindsWordsThatOnlyFullLowerCasingMatches) {
  const struct {
    const char* name;
    std::string text;
    std::vector<Entity> expected;
  } cases[] = {
      // U+212A KELVIN SIGN lower-cases to "k": "\u212A\u212A" is the suffix "kk".
      {"company suffix in Kelvin signs",
       "Acme \u212A\u212A",
       {{"Acme \u212A\u212A", EntityType::Org}}},
      {"honorific in capitals", "DR. JANE SMITH", {{"JANE SMITH", EntityType::Person}}},
      {"state code confirmed by a capitalised preposition", "FROM OK", {{"OK", EntityType::Place}}},
      {"an accented letter keeps a word out of the ASCII sets", "Jan\u00E9 Smith", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extract_lexicon_entities(c.text), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace velk
