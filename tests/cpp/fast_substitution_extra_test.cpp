// The fast substitution's shortcuts against the literal algorithm: matches inside inserted
// tokens once another match has cut them, entity texts with brackets next to inserted text,
// occurrences dropped while scanning because they can never match, the filter for short texts,
// wide trie nodes, and the bitmap of replaced bytes across its words.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velk/fast_substitution.h"
#include "velk/substitution.h"
#include "velk/unicode.h"

namespace velk {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::vector<EntityTokenPair> views(const Pairs& pairs) {
  std::vector<EntityTokenPair> out;
  for (const auto& [entity, token] : pairs) out.push_back({entity, token});
  return out;
}

std::string describe(const Pairs& pairs) {
  std::string out;
  for (const auto& [entity, token] : pairs) {
    out += debug_string(entity) + " -> " + debug_string(token) + "\n";
  }
  return out;
}

// Pairs in the order given, which is the order the literal algorithm runs them in.
struct SegmentCase {
  const char* name;
  Pairs pairs;
  std::string text;
  std::string expected;
};

const SegmentCase kSegmentCases[] = {
    {"a cut inside a token frees the match after it",
     {{"qqqqq", "[AB.C]"}, {"ab", "[Z_1]"}, {".c", "[W_2]"}},
     "qqqqq",
     "[[Z_1][W_2]]"},
    {"inside a token a match stays blocked while nothing cuts it",
     {{"qqqqq", "[AB.C]"}, {".c", "[W_2]"}, {"ab", "[Z_1]"}},
     "qqqqq",
     "[[Z_1].C]"},
    {"an entity text like the inside of a token is replaced inside it",
     {{"alice", "[PERSON_1]"}, {"person_1", "[P_2]"}},
     "alice and person_1",
     "[[P_2]] and [P_2]"},
    {"a run after a non-ASCII letter ends the occurrence before it",
     {{"bob", "[B_1]"}, {"x\u00E9", "[X_2]"}},
     "x\u00E9bob",
     "[X_2][B_1]"},
    {"no run starts after an ASCII letter, so the occurrence before it stays",
     {{"bob", "[B_1]"}, {"xa", "[X_2]"}},
     "xabob",
     "xabob"},
    {"an entity text holding a token's start matches across inserted text",
     {{"alice", "[PERSON_1]"}, {"[person_1] ltd", "[ORG_1]"}},
     "Alice Ltd",
     "[ORG_1]"},
    {"a bracket that no token has beside it never meets inserted text",
     {{"see", "[S_1]"}, {"ci](x", "[U_2]"}},
     "see ci](x",
     "[S_1] [U_2]"},
};

void PrintTo(const SegmentCase& c, std::ostream* os) { *os << c.name; }

class FastSegmentCase : public testing::TestWithParam<SegmentCase> {};

TEST_P(FastSegmentCase, EqualsTheLiteralAlgorithmAndTheWorkedResult) {
  const SegmentCase& c = GetParam();
  const auto pairs = views(c.pairs);
  EXPECT_EQ(substitute_segment(c.text, pairs), c.expected) << "literal";
  EXPECT_EQ(fast_substitute_segment(c.text, pairs), c.expected) << "fast";
}

INSTANTIATE_TEST_SUITE_P(Cases, FastSegmentCase, testing::ValuesIn(kSegmentCases),
                         [](const testing::TestParamInfo<SegmentCase>& info) {
                           std::string name;
                           for (const char ch : std::string(info.param.name)) {
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           }
                           return name;
                         });

// ---------------------------------------------------------------------------------------------
// Seeded random differential runs, one generator setting per case.

struct Setting {
  const char* name;
  std::vector<std::string> alphabet;  // pieces of text and of entity texts
  std::vector<std::string> tokens;    // bracketed, or anything when odd
  std::size_t entities_min;
  std::size_t entities_max;
  std::size_t text_pieces_max;
  int runs;
};

const std::vector<std::string> kLetters = {"a", "b", "c", "A", "B", "C", "x", "_", "1"};

const Setting kSettings[] = {
    {"tokens with inner punctuation and their pieces as entity texts",
     {"a", "b", "c", "A", "B", ".", "-", " ", "_", "1", "[", "]"},
     {"[AB.C]", "[X-Y_1]", "[a b]", "[\u00E9_1]", "[]", "[[A]]", "[A]B]", "[P_1]", "[Ab-C_3]",
      "[C.]"},
     1,
     8,
     12,
     6000},
    {"non-ASCII word characters around occurrences and runs",
     {"a", "b", "\u00E9", "\u00DF", "\u212A", "k", "\u017F", "s", "\u0661", "\u0301", " ", "-", "/",
      "@", "_", "1"},
     {"[P_1]", "[PERSON_2]", "[A_3]", "[K_1]", "[S_2]"},
     1,
     8,
     14,
     6000},
    {"many entity texts against a short text",
     {"al", "ice", "bo", "b", "A", "-", " ", ".", "_", "1", "\u00E9", "[", "]"},
     {"[PERSON_1]", "[P_2]", "[AL_3]", "[ICE_4]", "[B-O_5]", "[.]"},
     60,
     200,
     10,
     600},
    {"wide trie nodes and characters that share a mask bit",
     {"a", "b", "\\", "^", "`", "{", "~", "\t", "|", "\u00E9", "\u0100", "A", "0", " "},
     {"[P_1]", "[A\\_2]", "[^]", "[`A`]"},
     20,
     60,
     20,
     1500},
    {"long texts with touching replacements across bitmap words",
     {"a-", "b", "a", "-", " ", "ab", "\u00E9", "x"},
     {"[A_1]", "[B_2]", "[AB_3]", "[X-_4]"},
     1,
     6,
     160,
     1500},
};

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

// Swaps ASCII letters' case at random.
std::string vary_case(std::string text, std::mt19937& rng) {
  for (char& ch : text) {
    if (std::isalpha(static_cast<unsigned char>(ch)) && rng() % 2) ch ^= 0x20;
  }
  return text;
}

Pairs random_pairs(const Setting& setting, std::mt19937& rng) {
  const auto pick = [&](const std::vector<std::string>& list) { return list[rng() % list.size()]; };
  const std::size_t count =
      setting.entities_min + rng() % (setting.entities_max - setting.entities_min + 1);
  Pairs pairs;
  for (std::size_t k = 0; k < count; ++k) {
    std::string entity;
    const unsigned roll = rng() % 10;
    if (roll < 3) {
      // A piece of a token, sometimes with a neighbour: it can match inside inserted text.
      entity = random_part(pick(setting.tokens), rng);
      if (rng() % 3 == 0) entity = pick(setting.alphabet) + entity;
      if (rng() % 3 == 0) entity += pick(setting.alphabet);
    } else if (roll < 5 && !pairs.empty()) {
      entity = vary_case(pairs[rng() % pairs.size()].first, rng);
    } else {
      for (std::size_t parts = 1 + rng() % 3; parts > 0; --parts) entity += pick(setting.alphabet);
    }
    if (entity.empty()) entity = pick(setting.alphabet);
    pairs.emplace_back(entity, pick(setting.tokens));
  }
  if (rng() % 2) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  } else {
    std::shuffle(pairs.begin(), pairs.end(), rng);
  }
  return pairs;
}

std::string random_text(const Setting& setting, const Pairs& pairs, bool with_code,
                        std::mt19937& rng) {
  std::string text;
  for (std::size_t k = rng() % (setting.text_pieces_max + 1); k > 0; --k) {
    const unsigned roll = rng() % 10;
    if (roll < 4) {
      text += vary_case(pairs[rng() % pairs.size()].first, rng);
    } else if (roll == 4) {
      text += setting.tokens[rng() % setting.tokens.size()];
    } else if (roll == 5 && with_code) {
      static const char* const kCode[] = {"`", "```\n", "\n"};
      text += kCode[rng() % 3];
    } else {
      text += setting.alphabet[rng() % setting.alphabet.size()];
    }
  }
  return text;
}

void PrintTo(const Setting& setting, std::ostream* os) { *os << setting.name; }

class FastRandomSetting : public testing::TestWithParam<Setting> {};

TEST_P(FastRandomSetting, SegmentsEqualTheLiteralAlgorithm) {
  const Setting& setting = GetParam();
  std::mt19937 rng(std::hash<std::string_view>{}(setting.name) & 0xFFFFFFFF);
  int failures = 0;
  for (int n = 0; n < setting.runs && failures < 3; ++n) {
    const Pairs pairs = random_pairs(setting, rng);
    const std::string text = random_text(setting, pairs, false, rng);
    const auto list = views(pairs);
    const std::string literal = substitute_segment(text, list);
    const std::string fast = fast_substitute_segment(text, list);
    if (fast != literal) {
      ++failures;
      ADD_FAILURE() << "case " << n << "\n"
                    << describe(pairs) << "text:    " << debug_string(text)
                    << "\nliteral: " << debug_string(literal)
                    << "\nfast:    " << debug_string(fast);
    }
  }
}

TEST_P(FastRandomSetting, MapsWithCodeEqualTheLiteralAlgorithm) {
  const Setting& setting = GetParam();
  std::mt19937 rng((std::hash<std::string_view>{}(setting.name) + 1) & 0xFFFFFFFF);
  int failures = 0;
  for (int n = 0; n < setting.runs / 3 && failures < 3; ++n) {
    const Pairs pairs = random_pairs(setting, rng);
    TokenMap map;
    for (const auto& [entity, token] : pairs) map.forward.emplace(entity, token);
    const std::string text = random_text(setting, pairs, true, rng);
    const std::string literal = apply_token_map_literal(text, map);
    const std::string fast = fast_apply_token_map(text, map);
    if (fast != literal) {
      ++failures;
      ADD_FAILURE() << "case " << n << "\n"
                    << describe(pairs) << "text:    " << debug_string(text)
                    << "\nliteral: " << debug_string(literal)
                    << "\nfast:    " << debug_string(fast);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, FastRandomSetting, testing::ValuesIn(kSettings),
                         [](const testing::TestParamInfo<Setting>& info) {
                           std::string name;
                           for (const char ch : std::string(info.param.name)) {
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace velk
