// The fast substitution against the literal one: the case-folding relation it relies on, the
// boundary at every kind of neighbour, and seeded random differential runs in both directions.
// The documented corner cases run against both in substitution_test.cpp.
#include "velk/fast_substitution.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "velk/regex.h"
#include "velk/unicode.h"

namespace velk {
namespace {

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

std::string hex_escape(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(c));
  return buffer;
}

char32_t simple_fold(char32_t c) {
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

// The fast path folds both sides with u_foldCase and compares code points; the literal
// algorithm leaves caseless comparison to PCRE2. This pins the two relations together: every
// fold class of two or more code points matches exactly itself, and no code point outside them
// matches any of their members, so an update of either library that lets them drift apart
// shows here. (Pairs that only the engine knows, among code points without case partners in
// ICU, would need a newer engine than ICU; the fast path follows ICU there.)
TEST(CaseFolding, TheRegexEngineMatchesExactlyTheFoldClasses) {
  std::map<char32_t, std::vector<char32_t>> classes;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (!is_surrogate(c)) classes[simple_fold(c)].push_back(c);
  }
  std::string subject;  // every code point that has case partners
  std::vector<bool> single(0x110000, false);
  std::vector<char32_t> cased;
  for (const auto& [fold, chars] : classes) {
    if (chars.size() == 1) {
      single[chars[0]] = true;
      continue;
    }
    for (const char32_t c : chars) append_utf8(subject, c);
    cased.insert(cased.end(), chars.begin(), chars.end());
  }
  ASSERT_GT(cased.size(), 2000u);
  std::string singletons = "(?i)[";  // every other code point, as ranges
  for (char32_t c = 0; c < single.size(); ++c) {
    if (!single[c]) continue;
    const char32_t first = c;
    while (c + 1 < single.size() && single[c + 1]) ++c;
    singletons += hex_escape(first) + "-" + hex_escape(c);
  }
  const Regex others = Regex::compile(singletons + "]");
  ASSERT_TRUE(others.ok());
  MatchResult other_match(others);
  EXPECT_EQ(others.search(subject, 0, other_match), SearchStatus::kNoMatch)
      << "a code point without case partners matches a cased one";
  int failures = 0;
  for (const char32_t c : cased) {
    const Regex regex = Regex::compile("(?i)" + hex_escape(c));
    ASSERT_TRUE(regex.ok());
    MatchResult match(regex);
    std::vector<char32_t> found;
    for (std::size_t from = 0; regex.search(subject, from, match) == SearchStatus::kMatch;
         from = match.end()) {
      found.push_back(decode_utf8(subject, match.start()).code_point);
    }
    std::sort(found.begin(), found.end());
    const std::vector<char32_t>& expected = classes[simple_fold(c)];
    if (found != expected && ++failures <= 10) {
      ADD_FAILURE() << "caseless " << hex_escape(c) << " matches " << found.size()
                    << " code points, its fold class has " << expected.size();
    }
  }
}

// Every ASCII character, and a few others whose word-character status differs between
// definitions, after a match, before a match, and as the last character of an entity. U+31350
// is a letter since Unicode 15, which ICU 72 knows and PCRE2 10.42 (Unicode 14) does not; the
// literal pattern's boundary takes it for a non-word character, and so must the fast path.
TEST(FastSubstituteSegment, BoundaryAndPrecedingCharacterAgreeForEveryNeighbour) {
  std::vector<std::string> neighbours;
  for (char c = 0; c >= 0; ++c) neighbours.emplace_back(1, c);
  for (const char32_t c : {0x00AD, 0x00B2, 0x00B5, 0x0345, 0x0661, 0x0903, 0x180E, 0x200B, 0x200C,
                           0x200D, 0x2160, 0x24B6, 0x3000, 0x1F600, 0x31350}) {
    append_utf8(neighbours.emplace_back(), c);
  }
  for (const std::string& n : neighbours) {
    const std::string entity_an = "a" + n;
    const std::vector<EntityTokenPair> pairs = {{entity_an, "[X_1]"}, {"a", "[X_2]"}};
    for (const std::string& text :
         {"a" + n, n + "a", "x" + n + "a" + n + "a", n + "a" + n + "xa"}) {
      EXPECT_EQ(fast_substitute_segment(text, pairs), substitute_segment(text, pairs))
          << debug_string(text);
    }
  }
}

TEST(FastApplyTokenMap, EntityTooLargeForTheRegexEngineIsStillReplaced) {
  const std::string huge = test::repeat("ab", 80000);
  const TokenMap map = test::make_map({{huge, "[ORG_1]"}, {"x", "[P_1]"}});
  const std::string text = "x " + huge + " x";
  EXPECT_EQ(apply_token_map_literal(text, map), "[P_1] " + huge + " [P_1]");  // skipped
  EXPECT_EQ(fast_apply_token_map(text, map), "[P_1] [ORG_1] [P_1]");
  EXPECT_EQ(apply_token_map(text, map), "[P_1] [ORG_1] [P_1]");
}

// ---------------------------------------------------------------------------------------------
// Seeded random differential runs. Texts and entity texts are built from pieces chosen for
// the rules above: case variants and Unicode folding, token-like pieces and brackets, word
// and non-word neighbours, overlapping and adjacent occurrences, code fences and spans.

const std::vector<std::string>& pieces() {
  static const std::vector<std::string> list = {
      "alice",  "Alice",  "ALICE",      "al",         "ice",        "Al",     "bob",    "Bob",
      "x",      "a",      "K",          "\u212A",     "k",          "s",      "S",      "\u017F",
      "\u03C3", "\u03C2", "\u03A3",     "i",          "I",          "\u0130", "\u0131", "\u00DF",
      "\u1E9E", "ss",     "_",          "1",          "2",          "10",     "[",      "]",
      "PERSON", "person", "_1",         "[PERSON_1]", "[P_2]",      "ORG",    "P",      "P_1",
      "A_2",    "1]",     "[A",         " ",          " ",          " ",      " ",      ".",
      "-",      "/",      "@",          "'",          "\u00E9",     "\u0301", "\u200D", "\u00B2",
      "\u0903", "\u0661", "\U00031350", "\U00010400", "\U00010428", "\n",     "(",      ")",
      "*",      "$",      "\\",         "{2}",        "|",          "^",      "#",      "~",
      "?"};
  return list;
}

// Swaps characters for others of the same fold class where the class is known to be larger.
std::string vary_case(std::string_view text, std::mt19937& rng) {
  static const std::vector<std::vector<char32_t>> classes = {{'k', 'K', 0x212A},
                                                             {'s', 'S', 0x17F},
                                                             {0x3C3, 0x3C2, 0x3A3},
                                                             {0xDF, 0x1E9E},
                                                             {0x10400, 0x10428}};
  std::string out;
  for (std::size_t p = 0; p < text.size();) {
    const DecodedChar ch = decode_utf8(text, p);
    p += ch.length;
    char32_t c = ch.code_point;
    if (c < 0x80 && std::isalpha(static_cast<int>(c)) && rng() % 2) c ^= 0x20;
    for (const auto& members : classes) {
      if (std::find(members.begin(), members.end(), c) != members.end()) {
        c = members[rng() % members.size()];
      }
    }
    append_utf8(out, c);
  }
  return out;
}

// A random cut of `text` at character boundaries: a prefix, a suffix, an inner part or all.
std::string random_part(std::string_view text, std::mt19937& rng) {
  std::vector<std::size_t> cuts = {0};
  for (std::size_t p = 0; p < text.size();) {
    p += utf8_sequence_length(static_cast<unsigned char>(text[p]));
    cuts.push_back(p);
  }
  std::size_t a = cuts[rng() % cuts.size()];
  std::size_t b = cuts[rng() % cuts.size()];
  if (a > b) std::swap(a, b);
  return std::string(text.substr(a, b - a));
}

const std::string& random_piece(std::mt19937& rng) { return pieces()[rng() % pieces().size()]; }

std::string random_text(std::mt19937& rng, const std::vector<std::string>& entities,
                        std::size_t count, bool with_code) {
  std::string text;
  for (std::size_t k = 0; k < count; ++k) {
    const unsigned roll = rng() % 10;
    if (roll < 3 && !entities.empty()) {
      text += vary_case(entities[rng() % entities.size()], rng);
    } else if (roll == 3 && !entities.empty()) {
      // Overlapping and adjacent occurrences.
      const std::string& entity = entities[rng() % entities.size()];
      text += random_part(entity, rng) + vary_case(entity, rng) + random_part(entity, rng) + entity;
    } else if (roll == 4 && with_code) {
      static const std::string_view code_pieces[] = {"`", "`", "```\n", "\n", "\\"};
      text += code_pieces[rng() % std::size(code_pieces)];
    } else {
      text += random_piece(rng);
    }
  }
  return text;
}

std::string random_token(std::mt19937& rng, bool odd_tokens) {
  static const std::vector<std::string> odd = {
      "", "", "B", "x", "[A", "_1]", "Z]", "[P", "a", "ALICE", "\u212A", "[a b]", " ", "\u00E9"};
  if (odd_tokens && rng() % 2 == 0) return odd[rng() % odd.size()];
  static const std::vector<std::string> prefixes = {"PERSON", "P", "A"};
  return make_token(prefixes[rng() % prefixes.size()], 1 + rng() % 3);
}

struct RandomPairs {
  std::vector<std::string> entities;
  std::vector<std::string> tokens;
  std::vector<EntityTokenPair> pairs;
};

RandomPairs random_pairs(std::mt19937& rng) {
  RandomPairs result;
  const bool odd_tokens = rng() % 6 == 0;
  const std::size_t count = 1 + rng() % 8;
  for (std::size_t k = 0; k < count; ++k) result.tokens.push_back(random_token(rng, odd_tokens));
  for (std::size_t k = 0; k < count; ++k) {
    std::string entity;  // empty for a roll of 0
    const unsigned roll = rng() % 20;
    if (roll == 0) {
    } else if (roll < 4 && !result.entities.empty()) {
      entity = vary_case(result.entities[rng() % result.entities.size()], rng);
    } else if (roll < 7 && !result.entities.empty()) {
      entity = random_part(result.entities[rng() % result.entities.size()], rng);
    } else if (roll < 9) {
      // Parts of a token, possibly with a neighbour: they can match inside inserted tokens.
      entity = random_part(result.tokens[rng() % count], rng);
      if (rng() % 3 == 0) entity = random_piece(rng) + entity;
      if (rng() % 3 == 0) entity += random_piece(rng);
    } else {
      for (std::size_t parts = 1 + rng() % 3; parts > 0; --parts) entity += random_piece(rng);
    }
    result.entities.push_back(entity);
  }
  // Sometimes many more entity texts than text, as with a long-lived map and a short message.
  if (rng() % 8 == 0) {
    for (std::size_t k = 0; k < 60; ++k) {
      result.tokens.push_back(random_token(rng, odd_tokens));
      result.entities.push_back(random_piece(rng) + random_piece(rng));
    }
  }
  for (std::size_t k = 0; k < result.entities.size(); ++k) {
    result.pairs.push_back({result.entities[k], result.tokens[k]});
  }
  if (rng() % 2) {
    std::stable_sort(result.pairs.begin(), result.pairs.end(), [](const auto& a, const auto& b) {
      return a.entity.size() > b.entity.size();
    });
  } else {
    std::shuffle(result.pairs.begin(), result.pairs.end(), rng);
  }
  return result;
}

template <class Pairs>
std::string describe(const Pairs& pairs) {
  std::string out;
  for (const auto& [from, to] : pairs) out += debug_string(from) + " -> " + debug_string(to) + "\n";
  return out;
}

// Counts and reports a random case whose fast result differs from the literal one.
void compare(int n, const std::string& setup, const std::string& text, const std::string& literal,
             const std::string& fast, int& failures) {
  if (fast == literal) return;
  ++failures;
  ADD_FAILURE() << "case " << n << "\n"
                << setup << "text:     " << debug_string(text)
                << "\nliteral:  " << debug_string(literal) << "\nfast:     " << debug_string(fast);
}

TEST(FastSubstituteSegment, EqualsTheLiteralAlgorithmOnRandomCases) {
  std::mt19937 rng(20240611);
  int failures = 0;
  for (int n = 0; n < 15000 && failures < 5; ++n) {
    const RandomPairs random = random_pairs(rng);
    const std::string text = random_text(rng, random.entities, rng() % 30, false);
    compare(n, describe(random.pairs), text, substitute_segment(text, random.pairs),
            fast_substitute_segment(text, random.pairs), failures);
  }
}

// Few distinct characters, so that occurrences meet, overlap and form across replacements,
// with tokens that are empty (joining their neighbours) or plain text about half the time.
TEST(FastSubstituteSegment, EqualsTheLiteralAlgorithmWithFewCharactersAndOddTokens) {
  const std::vector<std::string> alphabet = {"a", "b", "A", "-", "\u00E9", "[", "]", "_", "1"};
  const std::vector<std::string> tokens = {"", "", "-", "b", "\u00E9", "[A_1]", "[b_1]", "ab"};
  const auto word = [&](std::mt19937& rng, std::size_t max_length) {
    std::string text;
    for (std::size_t k = 1 + rng() % max_length; k > 0; --k) {
      text += alphabet[rng() % alphabet.size()];
    }
    return text;
  };
  std::mt19937 rng(9001);
  int failures = 0;
  for (int n = 0; n < 8000 && failures < 5; ++n) {
    std::vector<std::string> entities;
    std::vector<EntityTokenPair> pairs;
    const bool only_empty_tokens = rng() % 3 == 0;
    // Sometimes enough entity texts against a short text that unusable ones are filtered out.
    for (std::size_t k = rng() % 4 == 0 ? 60 : 1 + rng() % 6; k > 0; --k) {
      entities.push_back(word(rng, 4));
      pairs.push_back(
          {{}, only_empty_tokens ? "" : std::string_view(tokens[rng() % tokens.size()])});
    }
    for (std::size_t k = 0; k < entities.size(); ++k) pairs[k].entity = entities[k];
    // Pieces of text, entities, and entities cut in two around another entity, which only
    // come together when the inner one is replaced by an empty token.
    std::string text;
    for (std::size_t k = rng() % 8; k > 0; --k) {
      const std::string& entity = entities[rng() % entities.size()];
      const unsigned roll = rng() % 3;
      if (roll == 0) {
        text += word(rng, 3);
      } else if (roll == 1) {
        text += entity;
      } else {
        const std::size_t cut = rng() % (entity.size() + 1);
        if (cut < entity.size() && (static_cast<unsigned char>(entity[cut]) & 0xC0) == 0x80) {
          continue;  // inside a character
        }
        text += entity.substr(0, cut) + entities[rng() % entities.size()] + entity.substr(cut);
      }
    }
    compare(n, describe(pairs), text, substitute_segment(text, pairs),
            fast_substitute_segment(text, pairs), failures);
  }
}

TEST(FastApplyTokenMap, EqualsTheLiteralAlgorithmOnRandomMapsAndCode) {
  std::mt19937 rng(77031);
  int failures = 0;
  for (int n = 0; n < 5000 && failures < 5; ++n) {
    const RandomPairs random = random_pairs(rng);
    TokenMap map;
    for (const auto& pair : random.pairs) map.forward.emplace(pair.entity, pair.token);
    const std::string text = random_text(rng, random.entities, rng() % 40, true);
    const std::string literal = apply_token_map_literal(text, map);
    compare(n, describe(sorted_forward_pairs(map)), text, literal, fast_apply_token_map(text, map),
            failures);
    // With part of the text scanned by a second thread, as on long texts.
    compare(n, describe(sorted_forward_pairs(map)) + "(second thread)", text, literal,
            fast_apply_token_map(text, map, 0), failures);
  }
}

TEST(FastDeanonymize, EqualsTheLiteralAlgorithmOnRandomMaps) {
  const std::vector<std::string> tokens = {"[A_1]", "[A_10]", "[B_2]",    "[BB_2]",      "[AA_1]",
                                           "[P_1]", "[P_11]", "[A_1]_1]", "[ORG_\u0663]"};
  const std::vector<std::string> odd_keys = {"A_1]", "[A_1", "PERSON", "", "x", "_1][", "1"};
  const std::vector<std::string> values = {"Alice", "[A", "_1]", "A_1",         "",     "[B_2]",
                                           "[",     "]",  "B",   "1]",          "x",    "[A_",
                                           "A",     "_",  "oo",  "[ORG_1] Ltd", "BB_2]"};
  const std::vector<std::string> filler = {"[", "]", "_", "1", "A", "B", " ", "x", "o"};
  std::mt19937 rng(5151);
  int failures = 0;
  for (int n = 0; n < 6000 && failures < 5; ++n) {
    TokenMap map;
    const bool odd = rng() % 5 == 0;
    for (std::size_t k = rng() % 7; k > 0; --k) {
      const std::string& key =
          odd && rng() % 3 == 0 ? odd_keys[rng() % odd_keys.size()] : tokens[rng() % tokens.size()];
      map.reverse.emplace(key, values[rng() % values.size()]);
    }
    std::string text;
    for (std::size_t k = rng() % 20; k > 0; --k) {
      const unsigned roll = rng() % 3;
      text += roll == 0   ? tokens[rng() % tokens.size()]
              : roll == 1 ? values[rng() % values.size()]
                          : filler[rng() % filler.size()];
    }
    compare(n, describe(map.reverse), text, deanonymize_literal(text, map),
            fast_deanonymize(text, map), failures);
  }
}

}  // namespace
}  // namespace velk
