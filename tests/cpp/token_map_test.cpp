// Numbering and reuse of tokens when a map is extended.
#include "velk/token_map.h"

#include <gtest/gtest.h>

#include <vector>

namespace velk {
namespace {

using Table = StringMap;

TokenMap map_with_reverse(std::initializer_list<std::pair<const std::string, std::string>> rev) {
  TokenMap map;
  map.reverse = Table(rev);
  for (const auto& [token, text] : map.reverse) map.forward.emplace(text, token);
  return map;
}

TEST(BuildTokenMap, NumbersPerPrefixAndSharesCaseVariants) {
  const std::vector<Entity> entities = {{"Alice", EntityType::Person},
                                        {"Bob", EntityType::Person},
                                        {"alice", EntityType::Person},
                                        {"Alice", EntityType::Person},
                                        {"Paris", EntityType::Place}};
  const TokenMap map = build_token_map(entities, nullptr);
  EXPECT_EQ(map.forward, (Table{{"Alice", "[PERSON_1]"},
                                {"Bob", "[PERSON_2]"},
                                {"alice", "[PERSON_1]"},
                                {"Paris", "[PLACE_1]"}}));
  EXPECT_EQ(map.reverse,
            (Table{{"[PERSON_1]", "Alice"}, {"[PERSON_2]", "Bob"}, {"[PLACE_1]", "Paris"}}));
}

TEST(BuildTokenMap, CountersComeFromReverseKeys) {
  const struct {
    const char* name;
    TokenMap existing;
    std::string expected_token;
  } cases[] = {
      {"highest number wins", map_with_reverse({{"[PERSON_3]", "A"}, {"[PERSON_12]", "B"}}),
       "[PERSON_13]"},
      {"zero counts", map_with_reverse({{"[PERSON_0]", "A"}}), "[PERSON_1]"},
      {"free text is ignored", map_with_reverse({{"no token here", "A"}}), "[PERSON_1]"},
      {"above 32 bits counts as 0", map_with_reverse({{"[PERSON_4294967296]", "A"}}),
       "[PERSON_1]"},
      {"text around a token", map_with_reverse({{"see [PERSON_4] here", "A"}}), "[PERSON_5]"},
      {"other prefixes do not count", map_with_reverse({{"[PLACE_9]", "A"}}), "[PERSON_1]"},
      {"leading zeros parse", map_with_reverse({{"[PERSON_007]", "A"}}), "[PERSON_8]"},
      {"non-ASCII digits count as 0", map_with_reverse({{"[PERSON_\u0667]", "A"}}), "[PERSON_1]"},
      {"first token of a key decides", map_with_reverse({{"[ORG_2][PERSON_50]", "A"}}),
       "[PERSON_1]"},
  };
  for (const auto& c : cases) {
    const std::vector<Entity> entities = {{"Zed", EntityType::Person}};
    const TokenMap map = build_token_map(entities, &c.existing);
    EXPECT_EQ(map.forward.at("Zed"), c.expected_token) << c.name;
    EXPECT_EQ(map.reverse.at(c.expected_token), "Zed") << c.name;
  }
}

TEST(BuildTokenMap, OrgCounterRaisedByTokenInsideText) {
  const TokenMap existing = map_with_reverse({{"see [ORG_4] here", "x"}});
  const std::vector<Entity> entities = {{"Acme", EntityType::Org}};
  EXPECT_EQ(build_token_map(entities, &existing).forward.at("Acme"), "[ORG_5]");
}

TEST(BuildTokenMap, MappedTextKeepsItsTokenWhateverTheType) {
  TokenMap existing;
  existing.forward = {{"Apple", "[PROJECT_2]"}};
  existing.reverse = {{"[PROJECT_2]", "Apple"}};
  const std::vector<Entity> entities = {{"Jordan", EntityType::Person},
                                        {"Jordan", EntityType::Place},
                                        {"APPLE", EntityType::Org}};
  const TokenMap map = build_token_map(entities, &existing);
  EXPECT_EQ(map.forward, (Table{{"Apple", "[PROJECT_2]"},
                                {"Jordan", "[PERSON_1]"},
                                {"APPLE", "[PROJECT_2]"}}));
  EXPECT_EQ(map.reverse, (Table{{"[PROJECT_2]", "Apple"}, {"[PERSON_1]", "Jordan"}}));
}

TEST(BuildTokenMap, EmptyTextGetsATokenLikeAnyOther) {
  const std::vector<Entity> entities = {{"", EntityType::Secret}};
  const TokenMap map = build_token_map(entities, nullptr);
  EXPECT_EQ(map.forward, (Table{{"", "[SECRET_1]"}}));
  EXPECT_EQ(map.reverse, (Table{{"[SECRET_1]", ""}}));
}

TEST(BuildTokenMap, ForwardOnlyTokenIsHandedOutAgain) {
  // Only reverse keys raise counters, so a forward value that reverse lacks is reused.
  TokenMap existing;
  existing.forward = {{"Bob", "[PERSON_1]"}};
  const std::vector<Entity> entities = {{"Carol", EntityType::Person}};
  EXPECT_EQ(build_token_map(entities, &existing).forward.at("Carol"), "[PERSON_1]");
}

TEST(BuildTokenMap, CounterAtTheTopGoesOnWithoutWrappingOrCollision) {
  const TokenMap existing = map_with_reverse(
      {{"[PERSON_4294967295]", "Max"}, {"[PERSON_4294967296]", "Over"}, {"[PERSON_1]", "One"}});
  const std::vector<Entity> entities = {{"Ann", EntityType::Person}, {"Ben", EntityType::Person}};
  const TokenMap map = build_token_map(entities, &existing);
  EXPECT_EQ(map.forward.at("Ann"), "[PERSON_4294967297]");
  EXPECT_EQ(map.forward.at("Ben"), "[PERSON_4294967298]");
  EXPECT_EQ(map.reverse.at("[PERSON_4294967296]"), "Over");
  EXPECT_EQ(map.reverse.size(), 5u);
}

TEST(BuildTokenMap, LeavesExistingUnchangedAndCopiesOnEmptyInput) {
  const TokenMap existing = map_with_reverse({{"[PERSON_1]", "Alice"}});
  const TokenMap before = existing;
  const std::vector<Entity> entities = {{"Bob", EntityType::Person}};
  const TokenMap extended = build_token_map(entities, &existing);
  EXPECT_EQ(existing, before);
  EXPECT_EQ(extended.size(), 2u);
  EXPECT_EQ(build_token_map({}, &existing), existing);
  EXPECT_EQ(build_token_map({}, nullptr), TokenMap{});
}

TEST(BuildTokenMap, CaseVariantUsesFullLowerCasing) {
  const std::vector<Entity> entities = {{"ΟΔΥΣΣΕΥΣ", EntityType::Person},
                                        {"οδυσσευς", EntityType::Person},
                                        {"Straße", EntityType::Place},
                                        {"STRASSE", EntityType::Place}};
  const TokenMap map = build_token_map(entities, nullptr);
  EXPECT_EQ(map.forward.at("οδυσσευς"), "[PERSON_1]");
  // Full lower-casing does not turn SS into ß, so these are different texts.
  EXPECT_EQ(map.forward.at("STRASSE"), "[PLACE_2]");
}

TEST(FindToken, LeftmostTokenWithUnicodeDigits) {
  const struct {
    std::string_view text;
    bool found;
    std::string_view prefix, number;
  } cases[] = {
      {"[PERSON_1]", true, "PERSON", "1"},
      {"x [a_1] [B_\u0663] [C_2]", true, "B", "\u0663"},
      {"[[X_12]]", true, "X", "12"},
      {"[_1] [X_] [X1] [x_1] [X_1", false, "", ""},
      {"[ABC_DEF_1]", false, "", ""},
  };
  for (const auto& c : cases) {
    const auto token = find_token(c.text);
    ASSERT_EQ(token.has_value(), c.found) << c.text;
    if (!token) continue;
    EXPECT_EQ(token->prefix, c.prefix) << c.text;
    EXPECT_EQ(token->number, c.number) << c.text;
  }
}

}  // namespace
}  // namespace velk
