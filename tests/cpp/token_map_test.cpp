// Numbering and reuse of tokens when a map is extended.
#include "velk/token_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace velk {
namespace {

using test::make_map;
using test::make_tables;
using T = EntityType;

// A text table against std::map under random inserts and overwrites, texts of every size up
// to past the largest block; views taken early must still read the same bytes at the end.
TEST(TextTable, AgreesWithAStandardMapAndKeepsItsViews) {
  std::mt19937 rng(5);
  TextTable table;
  std::map<std::string, std::string> reference;
  std::vector<std::pair<std::string_view, std::string>> views;  // an early view, its bytes
  const auto text = [&rng] {
    const std::size_t sizes[] = {0, 1, 15, 16, 17, 4095, 4097, (1 << 20) + 3};
    const std::size_t roll = rng() % 1000;
    const std::size_t size = roll < 20 ? sizes[roll % 7] : roll == 20 ? sizes[7] : rng() % 12;
    std::string out(size, 'a');
    for (char& c : out) c = static_cast<char>('a' + rng() % 3);
    return out;
  };
  for (int step = 0; step < 8000; ++step) {
    const std::string key = text();
    const std::string value = text();
    if (rng() % 4 == 0) {
      table.insert_or_assign(key, value);
      reference[key] = value;
    } else {
      EXPECT_EQ(table.try_emplace(key, value), reference.emplace(key, value).second) << key;
    }
    if (step % 200 == 0) {
      const auto it = table.find(key);
      ASSERT_NE(it, table.end());
      views.emplace_back(it->first, std::string(it->first));
    }
  }
  ASSERT_EQ(table.size(), reference.size());
  for (const auto& [key, value] : table) EXPECT_EQ(reference.at(std::string(key)), value);
  for (const auto& [key, value] : reference) EXPECT_TRUE(table.contains(key)) << key;
  EXPECT_FALSE(table.contains("not a key"));
  for (const auto& [view, bytes] : views) EXPECT_EQ(view, bytes);
  const TextTable copy = table;
  for (const auto& [key, value] : reference) EXPECT_EQ(copy.find(key)->second, value);
}

TEST(BuildTokenMap, NumbersPerPrefixAndSharesCaseVariants) {
  const std::vector<Entity> entities = {{"Alice", T::Person}, {"Bob", T::Person},
                                        {"alice", T::Person}, {"Alice", T::Person},
                                        {"Paris", T::Place},  {"", T::Secret}};
  std::vector<std::string_view> tokens;  // views into `map`
  const TokenMap map = build_token_map(entities, nullptr, {}, &tokens);
  EXPECT_EQ(map,
            make_tables({{"Alice", "[PERSON_1]"}, {"Bob", "[PERSON_2]"}, {"alice", "[PERSON_1]"},
                         {"Paris", "[PLACE_1]"}, {"", "[SECRET_1]"}},
                        {{"[PERSON_1]", "Alice"}, {"[PERSON_2]", "Bob"}, {"[PLACE_1]", "Paris"},
                         {"[SECRET_1]", ""}}));
  // Each entity's token as it stands in the map, repeats and case variants included.
  EXPECT_EQ(tokens, (std::vector<std::string_view>{"[PERSON_1]", "[PERSON_2]", "[PERSON_1]",
                                                   "[PERSON_1]", "[PLACE_1]", "[SECRET_1]"}));
}

// A session can map case variants to different tokens; the variant first in byte order answers,
// whatever order the hash table holds them in.
TEST(BuildTokenMap, CaseVariantReusedIsTheFirstKeyInByteOrder) {
  for (const bool reversed_insertion : {false, true}) {
    test::Pairs forward = {{"alice", "[PERSON_2]"}, {"ALICE", "[PERSON_7]"}, {"Alice", "[PERSON_3]"}};
    for (int filler = 0; filler < 40; ++filler) {
      forward.emplace_back("filler" + std::to_string(filler), "[X_1]");
    }
    if (reversed_insertion) std::reverse(forward.begin(), forward.end());
    const TokenMap existing = make_tables(forward, {});
    const TokenMap built = build_token_map(std::vector<Entity>{{"aLiCe", T::Person}}, &existing);
    EXPECT_EQ(built.forward.at("aLiCe"), "[PERSON_7]") << "ALICE is first in byte order";
  }
  // The same across the layers of a map that grew: the later layer holds the first variant.
  const TokenMap base = make_tables({{"alice", "[PERSON_2]"}}, {});
  TokenMap grown = base;
  grown.forward.insert_or_assign("ALICE", "[PERSON_7]");
  ASSERT_EQ(grown.forward.layers().size(), 2u);
  EXPECT_EQ(build_token_map(std::vector<Entity>{{"aLiCe", T::Person}}, &grown).forward.at("aLiCe"),
            "[PERSON_7]");
}

// The token a new person gets beside Bob, whose [PERSON_1] is only in the forward table (a
// session may hold a forward value that reverse lacks; it is handed out again), and reverse keys
// that are the given tokens.
TEST(BuildTokenMap, CountersComeFromReverseKeysOnly) {
  const auto new_token = [](const std::vector<std::string>& tokens) {
    test::Pairs reverse;
    for (const std::string& token : tokens) reverse.emplace_back(token, "A" + token);
    const TokenMap existing = make_tables({{"Bob", "[PERSON_1]"}}, reverse);
    const TokenMap map = build_token_map(std::vector<Entity>{{"Zed", T::Person}}, &existing);
    EXPECT_EQ(map.reverse.at(map.forward.at("Zed")), "Zed");
    return std::string(map.forward.at("Zed"));
  };
  test::expect_rows<std::vector<std::string>, std::string>(new_token, {
      {"highest number wins", {"[PERSON_3]", "[PERSON_12]"}, "[PERSON_13]"},
      {"above 32 bits counts as 0", {"[PERSON_4294967296]"}, "[PERSON_1]"},
      {"non-ASCII digits count as 0", {"[PERSON_\u0667]"}, "[PERSON_1]"},
      {"first token of a key decides", {"[ORG_2][PERSON_50]"}, "[PERSON_1]"},
      {"nested brackets", {"[[PERSON_12]]"}, "[PERSON_13]"},
      {"malformed tokens", {"[PERSON_] [PERSON1] [person_1] [PERSON_9 [P_Q_5]"}, "[PERSON_1]"},
      {"forward values do not count", {}, "[PERSON_1]"},
  });
}

TEST(BuildTokenMap, MappedTextAndCaseVariantsKeepTheirTokenWhateverTheType) {
  const TokenMap existing = make_map({{"Apple", "[PROJECT_2]"}});
  const std::vector<Entity> entities = {
      {"Jordan", T::Person}, {"Jordan", T::Place}, {"APPLE", T::Org}};
  std::vector<std::string_view> tokens;  // views into `map`
  const TokenMap map = build_token_map(entities, &existing, {}, &tokens);
  EXPECT_EQ(
      map,
      make_tables({{"Apple", "[PROJECT_2]"}, {"Jordan", "[PERSON_1]"}, {"APPLE", "[PROJECT_2]"}},
                  {{"[PROJECT_2]", "Apple"}, {"[PERSON_1]", "Jordan"}}));
  EXPECT_EQ(tokens,
            (std::vector<std::string_view>{"[PERSON_1]", "[PERSON_1]", "[PROJECT_2]"}));
}

TEST(BuildTokenMap, CaseVariantsCompareByFullLowerCasing) {
  // Final sigma; SS never lower-cases to ß; the Kelvin sign lower-cases to an ASCII k, both ways.
  const std::vector<Entity> entities = {
      {"ΟΔΥΣΣΕΥΣ", T::Person}, {"οδυσσευς", T::Person}, {"Straße", T::Place},
      {"STRASSE", T::Place},   {"\u212AIEL", T::Place},  {"kiel", T::Place},
      {"Karl", T::Person},     {"\u212AARL", T::Person}};
  const TokenMap map = build_token_map(entities, nullptr);
  EXPECT_EQ(map.forward.at("οδυσσευς"), "[PERSON_1]");
  EXPECT_EQ(map.forward.at("STRASSE"), "[PLACE_2]");
  EXPECT_EQ(map.forward.at("kiel"), "[PLACE_3]");
  EXPECT_EQ(map.forward.at("\u212AARL"), "[PERSON_2]");
  // Keys of an existing map are found the same way.
  const TokenMap extended =
      build_token_map(std::vector<Entity>{{"KIEL", T::Place}, {"karl", T::Person}}, &map);
  EXPECT_EQ(extended.forward.at("KIEL"), "[PLACE_3]");
  EXPECT_EQ(extended.forward.at("karl"), "[PERSON_2]");
}

// The last 32-bit number is no dead end: numbering goes on past it and never reuses a token.
TEST(BuildTokenMap, CounterAtTheTopGoesOnWithoutWrappingOrCollision) {
  const TokenMap existing = make_map(
      {{"Max", "[PERSON_4294967295]"}, {"Over", "[PERSON_4294967296]"}, {"One", "[PERSON_1]"}});
  const std::vector<Entity> entities = {{"Ann", T::Person}, {"Ben", T::Person}};
  const TokenMap map = build_token_map(entities, &existing);
  EXPECT_EQ(map.forward.at("Ann"), "[PERSON_4294967297]");
  EXPECT_EQ(map.forward.at("Ben"), "[PERSON_4294967298]");
  EXPECT_EQ(map.reverse.size(), 5u);
}

TEST(BuildTokenMap, LeavesExistingUnchangedAndCopiesItOnEmptyInput) {
  const TokenMap existing = make_map({{"Alice", "[PERSON_1]"}});
  const std::vector<Entity> entities = {{"Bob", T::Person}};
  EXPECT_EQ(build_token_map(entities, &existing).size(), 2u);
  EXPECT_EQ(existing, make_map({{"Alice", "[PERSON_1]"}}));
  EXPECT_EQ(build_token_map({}, &existing), existing);
  EXPECT_EQ(build_token_map({}, nullptr), TokenMap{});
}

// Only whole tokens take part in substitution; anything around or inside them disqualifies.
TEST(IsWholeToken, AcceptsExactlyOneTokenAndNothingElse) {
  test::expect_rows<std::string_view, bool>(is_whole_token, {
      {"", "[PERSON_1]", true},   {"", "[ORG_\u0663]", true}, {"", "", false},
      {"", "[PERSON_1] ", false}, {"", "x[PERSON_1]", false}, {"", "[[A_1]", false},
      {"", "[person_1]", false},  {"", "[A_]", false},        {"", "[_1]", false},
      {"", "[A_1", false},
  });
}

}  // namespace
}  // namespace velk
