// Forward and reverse substitution: every case holds for the literal reference and for the
// product functions alike.
#include "velk/substitution.h"

#include <gtest/gtest.h>

#include <string>

namespace velk {
namespace {

TokenMap make_map(std::initializer_list<std::pair<std::string, std::string>> entries) {
  TokenMap map;
  for (const auto& [text, token] : entries) {
    map.forward.emplace(text, token);
    map.reverse.emplace(token, text);
  }
  return map;
}

using SubstituteFn = std::string (*)(std::string_view, const TokenMap&);

struct Implementation {
  const char* name;
  SubstituteFn forward;
  SubstituteFn reverse;
};

const Implementation kImplementations[] = {
    {"literal", apply_token_map_literal, deanonymize_literal},
    {"product", apply_token_map, deanonymize},
};

class Substitution : public testing::TestWithParam<Implementation> {};

const TokenMap& sample_map() {
  static const TokenMap map =
      make_map({{"Alice", "[PERSON_1]"}, {"New York", "[PLACE_1]"}, {"York", "[PLACE_2]"}});
  return map;
}

TEST_P(Substitution, ForwardTableOfCases) {
  const struct {
    std::string text, expected;
  } cases[] = {
      {"ALICE and alice met", "[PERSON_1] and [PERSON_1] met"},
      {"New York and York", "[PLACE_1] and [PLACE_2]"},
      {"Alice's", "[PERSON_1]'s"},
      {"Alice.", "[PERSON_1]."},
      {"(Alice)", "([PERSON_1])"},
      {"-Alice", "-[PERSON_1]"},
      {"éAlice", "é[PERSON_1]"},
      {"Alicia", "Alicia"},
      {"xAlice", "xAlice"},
      {"_Alice", "_Alice"},
      {"/Alice", "/Alice"},
      {"Alice2", "Alice2"},
      {"@Alice", "@Alice"},
      {"9Alice", "9Alice"},
      {"Alice\u0301", "Alice\u0301"},      // a combining mark is a word character
      {"Alice\u0903", "Alice\u0903"},      // so is a spacing mark
      {"Alice\u00B2", "[PERSON_1]\u00B2"},  // superscript two is not
      {"Alice\u200D", "Alice\u200D"},      // joiners are word characters
      {"plain `Alice` and\n```\nAlice\n```\nAlice", "plain `Alice` and\n```\nAlice\n```\n[PERSON_1]"},
      {"Alice`code`", "[PERSON_1]`code`"},  // a stretch ends where a code span begins
      {"`code`Alice", "`code`[PERSON_1]"},  // and begins where it ends
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetParam().forward(c.text, sample_map()), c.expected) << c.text;
  }
}

TEST_P(Substitution, EntityEndingInPunctuationNeedsAWordCharacterAfterIt) {
  const TokenMap map = make_map({{"Acme Inc.", "[ORG_1]"}});
  EXPECT_EQ(GetParam().forward("Acme Inc.", map), "Acme Inc.");
  EXPECT_EQ(GetParam().forward("Acme Inc. is", map), "Acme Inc. is");
  EXPECT_EQ(GetParam().forward("Acme Inc.x", map), "[ORG_1]x");
}

TEST_P(Substitution, UnicodeCaseFolding) {
  const TokenMap map = make_map({{"kiss", "[PERSON_1]"}, {"σοφία", "[PERSON_2]"}});
  EXPECT_EQ(GetParam().forward("\u212AI\u017FS and ΣΟΦΊΑ", map), "[PERSON_1] and [PERSON_2]");
}

TEST_P(Substitution, EscapesMetacharactersInEntityTexts) {
  const TokenMap map = make_map({{"a.b*c (x)", "[ORG_1]"}, {"C++", "[PROJECT_1]"}});
  EXPECT_EQ(GetParam().forward("a.b*c (x)y and axbbc (x)y", map), "[ORG_1]y and axbbc (x)y");
  EXPECT_EQ(GetParam().forward("C++x C++ Cx", map), "[PROJECT_1]x C++ Cx");
}

TEST_P(Substitution, EntityShapedLikeTheInsideOfATokenMatchesInsideOne) {
  const TokenMap map = make_map({{"Alice Smith", "[PERSON_1]"}, {"PERSON_1", "[ORG_1]"}});
  EXPECT_EQ(GetParam().forward("Alice Smith", map), "[[ORG_1]]");
}

TEST_P(Substitution, EmptyEntityTextIsLeftAlone) {
  const TokenMap map = make_map({{"", "[PERSON_9]"}, {"Bob", "[PERSON_1]"}});
  EXPECT_EQ(GetParam().forward("hi Bob, ok", map), "hi [PERSON_1], ok");
}

TEST_P(Substitution, EmptyMapReturnsTheText) {
  EXPECT_EQ(GetParam().forward("Alice in `code`", TokenMap{}), "Alice in `code`");
}

TEST_P(Substitution, ReverseTableOfCases) {
  const TokenMap map = make_map({{"Alice", "[PERSON_1]"},
                                 {"Ten", "[PERSON_10]"},
                                 {"[ORG_1] Ltd", "[ORG_2]"},
                                 {"Acme", "[ORG_1]"}});
  const struct {
    std::string text, expected;
  } cases[] = {
      {"[PERSON_1] and [PERSON_1] met", "Alice and Alice met"},
      {"[PERSON_10] [PERSON_1]", "Ten Alice"},
      {"unknown [ORG_9] stays", "unknown [ORG_9] stays"},
      {"in `[PERSON_1]` code", "in `Alice` code"},
      {"[ORG_2] is skipped, [ORG_1] is not", "[ORG_2] is skipped, Acme is not"},
      {"[person_1] stays", "[person_1] stays"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GetParam().reverse(c.text, map), c.expected) << c.text;
}

TEST_P(Substitution, EmptyReverseAndEmptyKey) {
  EXPECT_EQ(GetParam().reverse("[PERSON_1]", TokenMap{}), "[PERSON_1]");
  TokenMap map;
  map.reverse = {{"", "boom"}, {"[PERSON_1]", "Alice"}};
  EXPECT_EQ(GetParam().reverse("x [PERSON_1] y", map), "x Alice y");
}

TEST_P(Substitution, RestoresTextWhenEntitiesAreWholeWords) {
  const TokenMap map = make_map({{"Alice", "[PERSON_1]"}, {"Bob", "[PERSON_2]"},
                                 {"alice@example.com", "[EMAIL_1]"}});
  const std::string text = "Alice wrote to Bob (alice@example.com); `Bob` stays in code.";
  const std::string anonymized = GetParam().forward(text, map);
  EXPECT_EQ(anonymized, "[PERSON_1] wrote to [PERSON_2] ([EMAIL_1]); `Bob` stays in code.");
  EXPECT_EQ(GetParam().reverse(anonymized, map), text);
}

INSTANTIATE_TEST_SUITE_P(BothImplementations, Substitution, testing::ValuesIn(kImplementations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SortedForwardPairs, LongestFirst) {
  const auto pairs = sorted_forward_pairs(sample_map());
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[0].entity, "New York");
  EXPECT_EQ(pairs[1].entity.size(), 5u);
  EXPECT_EQ(pairs[2].entity, "York");
}

}  // namespace
}  // namespace velk
