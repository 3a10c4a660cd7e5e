// The fast substitution against the literal one: worked cases, the boundary at every kind of
// neighbour, and seeded random differential runs in both directions.
#include "velk/fast_substitution.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "velk/literal_substitution.h"
#include "velk/regex.h"
#include "velk/substitution.h"
#include "velk/substitution_rules.h"
#include "velk/unicode.h"

namespace velk {
namespace {

std::vector<EntityTokenPair> views(const test::Pairs& pairs) {
  std::vector<EntityTokenPair> out;
  for (const auto& [entity, token] : pairs) out.push_back({entity, token});
  return out;
}

// Worked cases where the scan's shortcuts meet the rules; pairs run in the order given.
TEST(FastSubstituteSegment, WorkedCasesGiveTheLiteralResult) {
  const struct {
    const char* name;
    test::Pairs pairs;
    std::string text, expected;
  } cases[] = {
      {"a shorter entity text ending inside a longer one's occurrence",
       {{"bob", "[B_1]"}, {"x\u00E9", "[X_2]"}}, "x\u00E9bob", "[X_2][B_1]"},
      {"an ASCII letter before a later occurrence blocks it", {{"bob", "[B_1]"}, {"xa", "[X_2]"}},
       "xabob", "xabob"},
      {"the character after a match is the first of a token put in before",
       {{"bob", "Zed"}, {"al\u00E9", "[A_1]"}}, "al\u00E9bob al\u00E9-bob",
       "al\u00E9Zed [A_1]-Zed"},
      {"overlapping occurrences of one pair, leftmost first", {{"-a-", "[X_1]"}}, "-a-a- -a-",
       "[X_1]a- [X_1]"},
      // Replaced bytes are tracked per byte; this replacement is longer than a machine word.
      {"no match inside a long replaced text",
       {{std::string(70, 'x') + " bob " + std::string(70, 'y'), "[L_1]"}, {"bob", "[B_1]"}},
       "bob " + std::string(70, 'x') + " bob " + std::string(70, 'y') + " bob",
       "[B_1] [L_1] [B_1]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(substitute_segment(c.text, views(c.pairs)), c.expected) << "literal";
    EXPECT_EQ(fast_substitute_segment(c.text, views(c.pairs)), c.expected) << "fast";
  }
}

// Entity texts that are suffixes of one another make occurrences far outnumber the bytes; the
// search then goes pair by pair, with the same result.
TEST(FastSubstituteSegment, ManyOccurrencesPerByteGiveTheLiteralResult) {
  std::vector<std::string> entities;
  for (std::size_t n = 1; n <= 40; ++n) entities.push_back(std::string(n, 'a'));
  // "ab-a" overlaps itself: its first occurrence in " ab-ab-a" fails the boundary and the
  // overlapping second one is replaced, so the pair-by-pair search must find overlaps too.
  std::vector<EntityTokenPair> pairs = {{"ab-a", "[X_1]"}};
  for (auto it = entities.rbegin(); it != entities.rend(); ++it) pairs.push_back({*it, "[A_1]"});
  for (const std::string& text : {std::string(1000, 'a') + " ab-ab-a",
                                  std::string(999, 'a') + " a-aa" + std::string(300, 'A') + "b"}) {
    EXPECT_EQ(fast_substitute_segment(text, pairs), substitute_segment(text, pairs));
  }
}

TEST(FastApplyTokenMap, EntityTooLargeForTheRegexEngineIsStillReplaced) {
  const std::string huge = test::repeat("ab", 80000);
  const TokenMap map = test::make_map({{huge, "[ORG_1]"}, {"x", "[P_1]"}});
  const std::string text = "x " + huge + " x";
  EXPECT_EQ(apply_token_map_literal(text, map), "[P_1] " + huge + " [P_1]");  // skipped
  EXPECT_EQ(apply_token_map(text, map), "[P_1] [ORG_1] [P_1]");
}

std::string hex_escape(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(c));
  return buffer;
}

char32_t simple_fold(char32_t c) {
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

// The fast path folds with u_foldCase, the literal algorithm leaves caseless comparison to PCRE2:
// every fold class of two or more code points matches exactly itself and no code point outside
// them matches a member, so a library update that lets the two drift apart shows here.
TEST(CaseFolding, TheRegexEngineMatchesExactlyTheFoldClasses) {
  std::map<char32_t, std::vector<char32_t>> classes;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) classes[simple_fold(c)].push_back(c);
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
  for (const char32_t c : cased) {
    if (HasFailure()) break;
    const Regex regex = Regex::compile("(?i)" + hex_escape(c));
    ASSERT_TRUE(regex.ok());
    MatchResult match(regex);
    std::vector<char32_t> found;
    for (std::size_t from = 0; regex.search(subject, from, match) == SearchStatus::kMatch;
         from = match.end()) {
      found.push_back(decode_utf8(subject, match.start()).code_point);
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, classes[simple_fold(c)]) << "caseless " << hex_escape(c);
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
    const std::string an = "a" + n;
    const std::vector<EntityTokenPair> pairs = {{an, "[X_1]"}, {"a", "[X_2]"}};
    std::vector<std::string> texts = {an, n + "a", "x" + n + an + "a", n + an + "xa"};
    // Past the first 64 bytes the scan judges whole blocks of positions at once: the neighbour
    // at each place in a block.
    for (std::size_t lane = 0; lane < 64; lane += 7) {
      texts.push_back(std::string(64 + lane, '.') + n + "a" + std::string(70, '.'));
    }
    for (const std::string& text : texts) {
      EXPECT_EQ(fast_substitute_segment(text, pairs), substitute_segment(text, pairs))
          << debug_string(text);
    }
  }
}

TEST(BlockingMask, AgreesWithTheRuleForEveryByteAtEveryPlace) {
  for (unsigned byte = 0; byte < 256; ++byte) {
    for (unsigned lane = 0; lane < 64; ++lane) {
      std::string bytes(64, ' ');
      bytes[lane] = static_cast<char>(byte);
      const std::uint64_t expected = std::uint64_t{blocks_match(byte)} << lane;
      ASSERT_EQ(blocking_mask(bytes.data()), expected) << "byte " << byte << " at " << lane;
    }
  }
}

// Seeded random differential runs. Each setting draws texts, entity texts and tokens from its own
// pieces, mixed with case variants, parts of entity texts and tokens, overlapping, adjacent and
// cut occurrences, odd tokens (empty or plain text), code, and now and then many entity texts.

struct Setting {
  const char* name;
  std::vector<std::string> pieces, tokens;  // pieces of texts and of entity texts; tokens
  std::size_t min_entities, max_entities, max_text_pieces;
  int runs;  // segments compared; maps grow in runs / 600 conversations
};

const std::vector<Setting>& settings() {
  static const std::vector<Setting> list = {
      {"pieces for every rule",
       {"alice", "Alice", "ALICE", "al", "ice", "Al", "bob", "Bob", "x", "a", "K", "\u212A", "k",
        "s", "S", "\u017F", "\u03C3", "\u03C2", "\u03A3", "i", "I", "\u0130", "\u0131", "\u00DF",
        "\u1E9E", "ss", "_", "1", "2", "10", "[", "]", "PERSON", "person", "_1", "[PERSON_1]",
        "[P_2]", "ORG", "P", "P_1", "A_2", "1]", "[A", " ", " ", " ", ".", "-", "/", "@", "'",
        "\u00E9", "\u0301", "\u200D", "\u00B2", "\u0903", "\u0661", "\U00031350", "\U00010400",
        "\U00010428", "\n", "(", ")", "*", "$", "\\", "{2}", "|", "^", "#", "~", "?"},
       {"[PERSON_1]", "[PERSON_2]", "[PERSON_3]", "[P_1]", "[P_2]", "[P_3]", "[A_1]", "[A_2]",
        "[A_3]"}, 1, 8, 30, 15000},
      // Occurrences meet, overlap and form across replacements.
      {"few characters and odd tokens", {"a", "b", "A", "-", "\u00E9", "[", "]", "_", "1"},
       {"", "", "-", "b", "\u00E9", "[A_1]", "[b_1]", "ab"}, 1, 6, 8, 8000},
      {"tokens with inner punctuation and their pieces as entity texts",
       {"a", "b", "c", "A", "B", ".", "-", " ", "_", "1", "[", "]"},
       {"[AB.C]", "[X-Y_1]", "[a b]", "[\u00E9_1]", "[]", "[[A]]", "[A]B]", "[P_1]", "[Ab-C_3]",
        "[C.]"}, 1, 8, 12, 6000},
      {"non-ASCII word characters around occurrences and runs",
       {"a", "b", "\u00E9", "\u00DF", "\u212A", "k", "\u017F", "s", "\u0661", "\u0301", " ", "-",
        "/", "@", "_", "1"}, {"[P_1]", "[PERSON_2]", "[A_3]", "[K_1]", "[S_2]"}, 1, 8, 14, 6000},
      {"many entity texts against a short text",
       {"al", "ice", "bo", "b", "A", "-", " ", ".", "_", "1", "\u00E9", "[", "]"},
       {"[PERSON_1]", "[P_2]", "[AL_3]", "[ICE_4]", "[B-O_5]", "[.]"}, 60, 200, 10, 600},
      {"wide trie nodes and characters that share a mask bit",
       {"a", "b", "\\", "^", "`", "{", "~", "\t", "|", "\u00E9", "\u0100", "A", "0", " "},
       {"[P_1]", "[A\\_2]", "[^]", "[`A`]"}, 20, 60, 20, 1500},
      // Texts of every anchor length, many sharing one anchor, some longer than the deepest.
      {"long entity texts that share long beginnings",
       {"https://example.com/", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "Aa", "a", "\u212A", "k",
        "\u00DF", "ss", "-", " ", "/", "_1", "b"}, {"[URL_1]", "[A_2]", "[K_3]"}, 20, 120, 14,
       1500},
      // Enough entity texts for the table of first two bytes, with texts of one and two bytes.
      {"a map large enough to index its first two bytes",
       {"a", "b", "A", "\u00E9", "\u212A", "k", "-", " ", "_", "1", "[", "]", "ab"},
       {"[PERSON_1]", "[P_2]", "[AB_3]"}, 520, 700, 40, 60},
      {"long texts with touching replacements across bitmap words",
       {"a-", "b", "a", "-", " ", "ab", "\u00E9", "x"}, {"[A_1]", "[B_2]", "[AB_3]", "[X-_4]"},
       1, 6, 160, 1500},
  };
  return list;
}

// Swaps characters for others of the same fold class where the class is known to be larger.
std::string vary_case(std::string_view text, std::mt19937& rng) {
  static const std::vector<std::vector<char32_t>> classes = {
      {'k', 'K', 0x212A}, {'s', 'S', 0x17F}, {0x3C3, 0x3C2, 0x3A3}, {0xDF, 0x1E9E},
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

const std::string& pick(const std::vector<std::string>& list, std::mt19937& rng) {
  return list[rng() % list.size()];
}

// Entity texts and tokens own the text the pairs point into.
struct RandomPairs {
  std::vector<std::string> entities, tokens;
  std::vector<EntityTokenPair> pairs;
};

RandomPairs random_pairs(const Setting& s, std::mt19937& rng) {
  static const std::vector<std::string> kOdd = {
      "", "", "B", "x", "[A", "_1]", "Z]", "[P", "a", "ALICE", "\u212A", "[a b]", " ", "\u00E9"};
  RandomPairs r;
  const unsigned token_mode = rng() % 6;  // 0: half odd tokens, 1: only empty tokens
  const auto token = [&] {
    return token_mode == 1 ? std::string()
                           : pick(token_mode == 0 && rng() % 2 ? kOdd : s.tokens, rng);
  };
  const std::size_t count = s.min_entities + rng() % (s.max_entities - s.min_entities + 1);
  for (std::size_t k = 0; k < count; ++k) r.tokens.push_back(token());
  for (std::size_t k = 0; k < count; ++k) {
    std::string entity;  // empty for a roll of 0
    const unsigned roll = rng() % 20;
    if (roll == 0) {
    } else if (roll < 4 && !r.entities.empty()) {
      entity = vary_case(pick(r.entities, rng), rng);
    } else if (roll < 7 && !r.entities.empty()) {
      entity = random_part(pick(r.entities, rng), rng);
    } else if (roll < 10) {
      // Parts of a token, possibly with a neighbour: they can match inside inserted tokens.
      entity = random_part(pick(rng() % 2 ? r.tokens : s.tokens, rng), rng);
      if (rng() % 3 == 0) entity = pick(s.pieces, rng) + entity;
      if (rng() % 3 == 0) entity += pick(s.pieces, rng);
    } else {
      for (std::size_t parts = 1 + rng() % 3; parts > 0; --parts) entity += pick(s.pieces, rng);
    }
    r.entities.push_back(entity);
  }
  if (rng() % 8 == 0) {
    for (std::size_t k = 0; k < 60; ++k) {
      r.tokens.push_back(token());
      r.entities.push_back(pick(s.pieces, rng) + pick(s.pieces, rng));
    }
  }
  for (std::size_t k = 0; k < r.entities.size(); ++k)
    r.pairs.push_back({r.entities[k], r.tokens[k]});
  if (rng() % 2) {
    std::stable_sort(r.pairs.begin(), r.pairs.end(), [](const auto& a, const auto& b) {
      return a.entity.size() > b.entity.size();
    });
  } else {
    std::shuffle(r.pairs.begin(), r.pairs.end(), rng);
  }
  return r;
}

std::string random_text(const Setting& s, const RandomPairs& r, bool with_code, std::mt19937& rng) {
  static const std::vector<std::string> kCode = {"`", "`", "```\n", "\n", "\\"};
  std::string text;
  for (std::size_t k = rng() % (s.max_text_pieces + 1); k > 0; --k) {
    const std::string& entity = pick(r.entities, rng);
    const unsigned roll = rng() % 10;
    if (roll < 3) {
      text += vary_case(entity, rng);
    } else if (roll == 3) {  // overlapping and adjacent occurrences
      text += random_part(entity, rng) + vary_case(entity, rng) + random_part(entity, rng) + entity;
    } else if (roll == 4) {  // an entity text cut in two around another
      std::size_t cut = rng() % (entity.size() + 1);
      while (cut < entity.size() && (static_cast<unsigned char>(entity[cut]) & 0xC0) == 0x80) ++cut;
      text += entity.substr(0, cut) + pick(r.entities, rng) + entity.substr(cut);
    } else if (roll == 5) {
      text += pick(s.tokens, rng);
    } else if (roll == 6 && with_code) {
      text += pick(kCode, rng);
    } else {
      text += pick(s.pieces, rng);
    }
  }
  return text;
}

template <class Pairs>
std::string describe(const Pairs& pairs) {
  std::string out;
  for (const auto& [from, to] : pairs) out += debug_string(from) + " -> " + debug_string(to) + "\n";
  return out;
}

void compare(const std::string& setup, const std::string& text, const std::string& literal,
             const std::string& fast, int& failures) {
  if (fast == literal) return;
  ++failures;
  ADD_FAILURE() << setup << "text:     " << debug_string(text)
                << "\nliteral:  " << debug_string(literal) << "\nfast:     " << debug_string(fast);
}

TEST(FastSubstituteSegment, EqualsTheLiteralAlgorithmOnRandomCases) {
  for (std::size_t i = 0; i < settings().size(); ++i) {
    const Setting& s = settings()[i];
    std::mt19937 rng(20240611 + i);
    int failures = 0;
    for (int n = 0; n < s.runs && failures < 3; ++n) {
      const RandomPairs r = random_pairs(s, rng);
      const std::string text = random_text(s, r, false, rng);
      compare(s.name + (" case " + std::to_string(n)) + "\n" + describe(r.pairs), text,
              substitute_segment(text, r.pairs), fast_substitute_segment(text, r.pairs), failures);
    }
  }
}

// A long stretch is scanned in two halves on two threads; occurrences across the middle count.
TEST(FastApplyTokenMap, LongTextsScannedInTwoHalvesGiveTheLiteralResult) {
  const Setting& s = settings()[0];
  std::mt19937 rng(99);
  int failures = 0;
  // Odd runs put code between the pieces: many stretches, shared out between two threads.
  for (int n = 0; n < 6 && failures < 2; ++n) {
    const RandomPairs r = random_pairs(s, rng);
    TokenMap map;
    for (const auto& pair : r.pairs) map.forward.emplace(pair.entity, pair.token);
    std::string text;
    const bool with_code = n % 2 == 1;
    while (text.size() < (with_code ? 1500 : 300) * 1024) {
      text += random_text(s, r, with_code, rng) + " ";
    }
    compare("long case " + std::to_string(n) + "\n" + describe(r.pairs), text.substr(0, 200),
            apply_token_map_literal(text, map), apply_token_map(text, map), failures);
  }
}

// Maps grown message by message share their earlier layers and what was derived from them;
// each step must substitute (code included) and restore like the literal algorithm, and like
// the same map read back flat.
TEST(FastApplyTokenMap, GrownMapsSubstituteLikeTheLiteralAlgorithmAndTheirFlatCopy) {
  for (std::size_t i = 0; i < settings().size(); ++i) {
    const Setting& s = settings()[i];
    std::mt19937 rng(77031 + i);
    int failures = 0;
    const int conversations = std::max(1, s.runs / 600);
    for (int conversation = 0; conversation < conversations && failures < 3; ++conversation) {
      std::shared_ptr<const TokenMap> map;
      for (int message = 0; message < 40 && failures < 3; ++message) {
        const RandomPairs r = random_pairs(s, rng);
        std::vector<Entity> entities;
        for (const std::string& entity : r.entities) {
          entities.push_back({entity, static_cast<EntityType>(rng() % kEntityTypeCount)});
        }
        map = std::make_shared<const TokenMap>(build_token_map(entities, map.get()));
        TokenMap flat;
        for (const auto& [key, value] : map->forward) flat.forward.insert_or_assign(key, value);
        for (const auto& [key, value] : map->reverse) flat.reverse.insert_or_assign(key, value);
        ASSERT_EQ(flat, *map);
        const std::string text = random_text(s, r, true, rng);
        const std::string setup = s.name + (" conversation " + std::to_string(conversation)) +
                                  " message " + std::to_string(message) + "\n";
        const std::string literal = apply_token_map_literal(text, flat);
        compare(setup, text, literal, apply_token_map(text, *map), failures);
        compare(setup + "(flat)", text, literal, apply_token_map(text, flat), failures);
        compare(setup + "(restore)", literal, deanonymize_literal(literal, flat),
                deanonymize(literal, *map), failures);
      }
    }
  }
}

TEST(FastDeanonymize, EqualsTheLiteralAlgorithmOnRandomMaps) {
  const std::vector<std::string> tokens = {"[A_1]", "[A_10]", "[B_2]", "[BB_2]", "[AA_1]",
                                           "[P_1]", "[P_11]", "[A_1]_1]", "[ORG_\u0663]"};
  const std::vector<std::string> odd_keys = {"A_1]", "[A_1", "PERSON", "", "x", "_1][", "1"};
  const std::vector<std::string> values = {"Alice", "[A", "_1]", "A_1", "", "[B_2]", "[", "]",
                                           "B", "1]", "x", "[A_", "A", "_", "oo", "[ORG_1] Ltd",
                                           "BB_2]"};
  const std::vector<std::string> filler = {"[", "]", "_", "1", "A", "B", " ", "x", "o"};
  std::mt19937 rng(5151);
  int failures = 0;
  for (int n = 0; n < 6000 && failures < 5; ++n) {
    TokenMap map;
    const bool odd = rng() % 5 == 0;
    for (std::size_t k = rng() % 7; k > 0; --k) {
      map.reverse.emplace(odd && rng() % 3 == 0 ? pick(odd_keys, rng) : pick(tokens, rng),
                          pick(values, rng));
    }
    std::string text;
    for (std::size_t k = rng() % 20; k > 0; --k) {
      const unsigned roll = rng() % 3;
      text += pick(roll == 0 ? tokens : roll == 1 ? values : filler, rng);
    }
    compare("case " + std::to_string(n) + "\n" + describe(map.reverse), text,
            deanonymize_literal(text, map), deanonymize(text, map), failures);
  }
}

}  // namespace
}  // namespace velk
