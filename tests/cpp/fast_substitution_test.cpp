// The fast substitution against the literal one: the case-folding relation it relies on,
// corner cases, and seeded random differential runs in both directions.
#include "velk/fast_substitution.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "velk/entity.h"
#include "velk/regex.h"
#include "velk/substitution.h"
#include "velk/unicode.h"

namespace velk {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

std::string hex_escape(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(c));
  return buffer;
}

char32_t simple_fold(char32_t c) {
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

// Code points below `limit` that no other code point shares a simple case fold with.
std::vector<bool> caseless_singletons(char32_t limit) {
  std::vector<bool> single(limit, true);
  for (char32_t c = 0; c < limit; ++c) {
    if (is_surrogate(c)) {
      single[c] = false;
      continue;
    }
    const char32_t f = simple_fold(c);
    if (f != c) {
      single[c] = false;
      if (f < limit) single[f] = false;
    }
  }
  return single;
}

// "(?i)[...]" over the members of `set` in [from, to), as ranges; empty when there is none.
std::string caseless_class(const std::vector<bool>& set, char32_t from, char32_t to) {
  std::string pattern = "(?i)[";
  bool any = false;
  for (char32_t c = from; c < to;) {
    if (!set[c]) {
      ++c;
      continue;
    }
    char32_t last = c;
    while (last + 1 < to && set[last + 1]) ++last;
    pattern += hex_escape(c) + "-" + hex_escape(last);
    any = true;
    c = last + 1;
  }
  return any ? pattern + "]" : std::string();
}

std::string members(const std::vector<bool>& set, char32_t from, char32_t to) {
  std::string text;
  for (char32_t c = from; c < to && c < set.size(); ++c) {
    if (set[c]) append_utf8(text, c);
  }
  return text;
}

bool matches_somewhere(const std::string& pattern, const std::string& subject) {
  const Regex regex = Regex::compile(pattern);
  EXPECT_TRUE(regex.ok()) << pattern.substr(0, 200);
  MatchResult match(regex);
  return regex.ok() && regex.search(subject, 0, match) == SearchStatus::kMatch;
}

// Searches for two code points the engine matches caselessly although they are in `single`
// (code points claimed to match only themselves); describes the first place found. Pairs in
// distant blocks are caught by a caseless class of one block run over its sibling block,
// halving the blocks down to 64 code points; pairs inside such a block by a caseless
// backreference; pairs of a singleton and any other code point by one class of all singletons
// run over all the rest.
std::string find_unexpected_caseless_pair(const std::vector<bool>& single) {
  const auto limit = static_cast<char32_t>(single.size());
  std::vector<bool> others(limit);
  for (char32_t c = 0; c < limit; ++c) others[c] = !single[c] && !is_surrogate(c);
  if (matches_somewhere(caseless_class(single, 0, limit), members(others, 0, limit))) {
    return "a singleton matches a cased code point";
  }
  char32_t block = 1;
  while (block < limit) block <<= 1;
  for (block >>= 1; block >= 64; block >>= 1) {
    for (char32_t left = 0; left + block < limit; left += 2 * block) {
      const std::string pattern = caseless_class(single, left, left + block);
      const std::string subject = members(single, left + block, left + 2 * block);
      if (!pattern.empty() && !subject.empty() && matches_somewhere(pattern, subject)) {
        return "pair across blocks at " + hex_escape(left) + " of size " + std::to_string(block);
      }
    }
  }
  for (char32_t base = 0; base < limit; base += 64) {
    const std::string subject = members(single, base, std::min<char32_t>(base + 64, limit));
    if (subject.size() > 1 && matches_somewhere("(?si)(.)(?=.*?\\1)", subject)) {
      return "pair inside the block at " + hex_escape(base);
    }
  }
  return "";
}

// The fast path folds both sides with u_foldCase and compares code points; the literal
// algorithm leaves caseless comparison to PCRE2. This pins the two relations together for
// every code point, so an update of either library that lets them drift apart shows here.
TEST(CaseFolding, EveryFoldClassMatchesExactlyItselfInTheRegexEngine) {
  std::map<char32_t, std::vector<char32_t>> classes;
  for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
    if (!is_surrogate(c)) classes[simple_fold(c)].push_back(c);
  }
  std::string subject;
  std::vector<char32_t> cased;
  for (const auto& [fold, chars] : classes) {
    if (chars.size() < 2) continue;
    for (const char32_t c : chars) {
      cased.push_back(c);
      append_utf8(subject, c);
    }
  }
  ASSERT_GT(cased.size(), 2000u);
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

TEST(CaseFolding, CodePointsWithoutCasePartnersMatchOnlyThemselves) {
  EXPECT_EQ(find_unexpected_caseless_pair(caseless_singletons(kMaxCodePoint + 1)), "");
}

TEST(CaseFolding, UnexpectedPairSearchFindsPlantedPairs) {
  const char32_t limit = 0x4000;
  std::vector<bool> across = caseless_singletons(limit);
  across[0x4B] = across[0x212A] = true;  // K and the Kelvin sign, far apart
  EXPECT_NE(find_unexpected_caseless_pair(across), "");
  std::vector<bool> inside = caseless_singletons(limit);
  inside[0x41] = inside[0x61] = true;  // A and a, in one block of 64
  EXPECT_NE(find_unexpected_caseless_pair(inside), "");
  std::vector<bool> mixed = caseless_singletons(limit);
  mixed[0xB5] = true;  // the micro sign, while Greek mu stays cased
  EXPECT_NE(find_unexpected_caseless_pair(mixed), "");
}

// ---------------------------------------------------------------------------------------------
// Corner cases, each checked against its known result and against the literal algorithm.

TokenMap make_map(std::initializer_list<std::pair<std::string, std::string>> entries) {
  TokenMap map;
  for (const auto& [text, token] : entries) {
    map.forward.emplace(text, token);
    map.reverse.emplace(token, text);
  }
  return map;
}

struct ForwardCase {
  const char* name;
  TokenMap map;
  std::string text;
  std::string expected;
};

TEST(FastApplyTokenMap, CornerCasesGiveTheLiteralResult) {
  const TokenMap places =
      make_map({{"Alice", "[PERSON_1]"}, {"New York", "[PLACE_1]"}, {"York", "[PLACE_2]"}});
  const std::vector<ForwardCase> cases = {
      {"case variants share a token", places, "ALICE and alice met",
       "[PERSON_1] and [PERSON_1] met"},
      {"longer entity first", places, "New York and York", "[PLACE_1] and [PLACE_2]"},
      {"punctuation around", places, "Alice's Alice. (Alice) -Alice éAlice",
       "[PERSON_1]'s [PERSON_1]. ([PERSON_1]) -[PERSON_1] é[PERSON_1]"},
      {"blocked before or after", places, "Alicia xAlice _Alice /Alice Alice2 @Alice 9Alice",
       "Alicia xAlice _Alice /Alice Alice2 @Alice 9Alice"},
      {"marks and joiners are word characters", places, "Alice\u0301 Alice\u0903 Alice\u200D",
       "Alice\u0301 Alice\u0903 Alice\u200D"},
      {"superscript two is not", places, "Alice\u00B2", "[PERSON_1]\u00B2"},
      {"code regions keep their text", places, "plain `Alice` and\n```\nAlice\n```\nAlice",
       "plain `Alice` and\n```\nAlice\n```\n[PERSON_1]"},
      {"a stretch ends where code begins", places, "Alice`code`Alice",
       "[PERSON_1]`code`[PERSON_1]"},
      {"entity ending in punctuation needs a word character after it",
       make_map({{"Acme Inc.", "[ORG_1]"}}), "Acme Inc. / Acme Inc.x", "Acme Inc. / [ORG_1]x"},
      {"Kelvin sign, long s, final sigma", make_map({{"kiss", "[P_1]"}, {"σοφίας", "[P_2]"}}),
       "\u212AI\u017FS ΣΟΦΊΑΣ", "[P_1] [P_2]"},
      {"capital sharp s matches sharp s, but not ss", make_map({{"straße", "[P_1]"}}),
       "STRA\u1E9EE strasse", "[P_1] strasse"},
      {"dotted and dotless i match only themselves", make_map({{"istanbul", "[P_1]"}}),
       "\u0130stanbul \u0131stanbul Istanbul", "\u0130stanbul \u0131stanbul [P_1]"},
      {"caseless match of another byte length", make_map({{"Kai", "[P_1]"}}), "\u212Aai and kAI",
       "[P_1] and [P_1]"},
      {"entity shaped like the inside of a token",
       make_map({{"Alice Smith", "[PERSON_1]"}, {"PERSON_1", "[ORG_1]"}}), "Alice Smith",
       "[[ORG_1]]"},
      {"entity holding brackets matches across tokens",
       make_map({{"Alice Smith", "[P_1]"}, {" and [", "[X_1]"}, {"Bob Stone", "[P_2]"}}),
       "Alice Smith and Bob Stone", "[P_1][X_1]P_2]"},
      {"decisions read the text before the pair", make_map({{".a", "[X_1]"}}), ".a.a", "[X_1].a"},
      {"a kept match still ends the previous match", make_map({{"a-a", "[X_1]"}}), "xa-a-a",
       "xa-a-a"},
      {"a token next to a match completes its boundary",
       make_map({{"Roberta", "[P_1]"}, {"José", "[P_2]"}}), "JoséRoberta", "[P_2][P_1]"},
      {"a token before a match does not block it", make_map({{"Bob/", "[P_1]"}, {"Ann", "[P_2]"}}),
       "Bob/Ann Bob/ Ann /Ann", "[P_1][P_2] Bob/ [P_2] /Ann"},
      {"empty entity is left alone", make_map({{"", "[PERSON_9]"}, {"Bob", "[PERSON_1]"}}),
       "hi Bob, ok", "hi [PERSON_1], ok"},
      {"tokens without brackets are matched by later entities",
       make_map({{"Robert", "Bob"}, {"bob", "[P_1]"}}), "Robert", "[P_1]"},
      {"empty token joins its neighbours", make_map({{"-Robert-", ""}, {"éy", "[P_1]"}}),
       "é-Robert-y", "[P_1]"},
  };
  for (const ForwardCase& c : cases) {
    EXPECT_EQ(fast_apply_token_map(c.text, c.map), c.expected) << c.name;
    EXPECT_EQ(apply_token_map_literal(c.text, c.map), c.expected) << c.name << " (literal)";
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
    std::string text;
    append_utf8(text, c);
    neighbours.push_back(text);
  }
  for (const std::string& n : neighbours) {
    const std::string entity_a = "a";
    const std::string entity_an = "a" + n;
    const std::vector<EntityTokenPair> pairs = {{entity_an, "[X_1]"}, {entity_a, "[X_2]"}};
    for (const std::string& text :
         {"a" + n, n + "a", "x" + n + "a" + n + "a", n + "a" + n + "xa"}) {
      EXPECT_EQ(fast_substitute_segment(text, pairs), substitute_segment(text, pairs))
          << debug_string(text);
    }
  }
}

TEST(FastApplyTokenMap, EntityTooLargeForTheRegexEngineIsStillReplaced) {
  std::string huge;
  for (int i = 0; i < 40000; ++i) huge += "ab";
  const TokenMap map = make_map({{huge, "[ORG_1]"}, {"x", "[P_1]"}});
  const std::string text = "x " + huge + " x";
  EXPECT_EQ(apply_token_map_literal(text, map), "[P_1] " + huge + " [P_1]");  // skipped
  EXPECT_EQ(fast_apply_token_map(text, map), "[P_1] [ORG_1] [P_1]");
  EXPECT_EQ(apply_token_map(text, map), "[P_1] [ORG_1] [P_1]");
}

TEST(FastApplyTokenMap, EmptyMapOrTextReturnsTheText) {
  EXPECT_EQ(fast_apply_token_map("Alice in `code`", TokenMap{}), "Alice in `code`");
  EXPECT_EQ(fast_apply_token_map("", make_map({{"Alice", "[P_1]"}})), "");
}

struct ReverseCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> reverse;
  std::string text;
  std::string expected;
};

TEST(FastDeanonymize, CornerCasesGiveTheLiteralResult) {
  const std::vector<std::pair<std::string, std::string>> sample = {{"[PERSON_1]", "Alice"},
                                                                   {"[PERSON_10]", "Ten"},
                                                                   {"[ORG_2]", "[ORG_1] Ltd"},
                                                                   {"[ORG_1]", "Acme"}};
  const std::vector<ReverseCase> cases = {
      {"restores every occurrence", sample, "[PERSON_1] and [PERSON_1] met", "Alice and Alice met"},
      {"one token is never part of another", sample, "[PERSON_10] [PERSON_1]", "Ten Alice"},
      {"unknown and altered tokens stay", sample, "[ORG_9] [person_1]", "[ORG_9] [person_1]"},
      {"code is restored too", sample, "in `[PERSON_1]` code", "in `Alice` code"},
      {"entity holding a token is skipped", sample, "[ORG_2] and [ORG_1]", "[ORG_2] and Acme"},
      {"restored text completing a later key",
       {{"[BB_2]", "[A"}, {"[A_1]", "Z"}},
       "[BB_2]_1]",
       "Z"},
      {"restored text completing an earlier key",
       {{"[B_2]", "[A"}, {"[AA_1]", "Z"}},
       "[B_2]A_1]",
       "[AA_1]"},
      {"empty restored text joining two halves",
       {{"[BB_2]", ""}, {"[A_1]", "Z"}},
       "[A[BB_2]_1]",
       "Z"},
      {"keys that are not whole tokens",
       {{"PERSON_1]", "x"}, {"[PERSON_1]", "Bob"}},
       "[PERSON_1] PERSON_1]",
       "Bob x"},
      {"overlapping keys", {{"[A_1]", "one"}, {"_1][A_", "two"}}, "[A_1][A_1]", "[Atwo1]"},
      {"chained restoration through a key that is no token",
       {{"[X_1]", "foo"}, {"oo", "ar"}},
       "[X_1]",
       "far"},
      {"empty key is skipped",
       {{"", "boom"}, {"[PERSON_1]", "Alice"}},
       "x [PERSON_1] y",
       "x Alice y"},
      {"digits of other scripts",
       {{"[ORG_\u0663]", "Three"}},
       "[ORG_\u0663] [ORG_3]",
       "Three [ORG_3]"},
  };
  for (const ReverseCase& c : cases) {
    TokenMap map;
    for (const auto& [token, entity] : c.reverse) map.reverse.emplace(token, entity);
    EXPECT_EQ(fast_deanonymize(c.text, map), c.expected) << c.name;
    EXPECT_EQ(deanonymize_literal(c.text, map), c.expected) << c.name << " (literal)";
  }
  EXPECT_EQ(fast_deanonymize("[PERSON_1]", TokenMap{}), "[PERSON_1]");
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

const std::vector<std::string>& code_pieces() {
  static const std::vector<std::string> list = {"`", "`", "```\n", "\n", "\\"};
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
      text += code_pieces()[rng() % code_pieces().size()];
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
    std::string entity;
    const unsigned roll = rng() % 20;
    if (roll == 0) {
      entity = "";
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
    std::vector<std::string> chosen_tokens;
    const bool only_empty_tokens = rng() % 3 == 0;
    // Sometimes enough entity texts against a short text that unusable ones are filtered out.
    for (std::size_t k = rng() % 4 == 0 ? 60 : 1 + rng() % 6; k > 0; --k) {
      entities.push_back(word(rng, 4));
      chosen_tokens.push_back(only_empty_tokens ? "" : tokens[rng() % tokens.size()]);
    }
    std::vector<EntityTokenPair> pairs;
    for (std::size_t k = 0; k < entities.size(); ++k) {
      pairs.push_back({entities[k], chosen_tokens[k]});
    }
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
    compare(n, describe(sorted_forward_pairs(map)), text, apply_token_map_literal(text, map),
            fast_apply_token_map(text, map), failures);
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
    compare(n, describe(map.reverse), text, deanonymize_literal(text, map), fast_deanonymize(text, map),
            failures);
  }
}

}  // namespace
}  // namespace velk
