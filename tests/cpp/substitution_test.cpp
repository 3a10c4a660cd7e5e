// Forward and reverse substitution: every case holds for the literal and for the fast algorithms.
#include "velk/substitution.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "velk/literal_substitution.h"

namespace velk {
namespace {

using test::make_map;
using test::make_tables;
using SubstituteFn = std::string (*)(std::string_view, const TokenMap&);

const struct {
  const char* name;
  SubstituteFn forward, reverse;
} kImplementations[] = {{"literal", apply_token_map_literal, deanonymize_literal},
                        {"product", apply_token_map, deanonymize}};

using MapAndText = std::pair<TokenMap, std::string>;

TEST(ApplyTokenMap, ReplacesEntitiesCaselesslyAtWordEdgesOutsideCode) {
  const TokenMap sample =
      make_map({{"Alice", "[PERSON_1]"}, {"New York", "[PLACE_1]"}, {"York", "[PLACE_2]"}});
  const std::vector<test::Row<MapAndText, std::string>> cases = {
      {"case variants", {sample, "ALICE and alice met"}, "[PERSON_1] and [PERSON_1] met"},
      {"longest entity first", {sample, "New York and York"}, "[PLACE_1] and [PLACE_2]"},
      {"punctuation around", {sample, "Alice's Alice. (Alice) -Alice éAlice"},
       "[PERSON_1]'s [PERSON_1]. ([PERSON_1]) -[PERSON_1] é[PERSON_1]"},
      {"blocked before or after", {sample, "Alicia xAlice _Alice /Alice Alice2 @Alice 9Alice"},
       "Alicia xAlice _Alice /Alice Alice2 @Alice 9Alice"},
      {"code keeps its text", {sample, "plain `Alice` and\n```\nAlice\n```\nAlice"},
       "plain `Alice` and\n```\nAlice\n```\n[PERSON_1]"},
      {"entity ending in punctuation matches wherever it occurs",
       {make_map({{"Acme Inc.", "[ORG_1]"}}), "Acme Inc. / Acme Inc.x / \"Acme Inc.\""},
       "[ORG_1] / [ORG_1]x / \"[ORG_1]\""},
      {"URLs ending in a slash, a full stop or a question mark",
       {make_map({{"https://x.io/a/", "[URL_1]"}, {"https://x.io/reset?uid=9?", "[URL_2]"}}),
        "see https://x.io/a/ now. Docs: https://x.io/a/. https://x.io/reset?uid=9?"},
       "see [URL_1] now. Docs: [URL_1]. [URL_2]"},
      {"metacharacters are literal",
       {make_map({{"a.b*c (x)", "[O_1]"}, {"C++", "[P_1]"}}), "a.b*c (x)y axbbc (x)y C++x C++ Cx"},
       "[O_1]y axbbc (x)y [P_1]x [P_1] Cx"},
      {"short capitals match only as written",
       {make_map({{"OR", "[PLACE_2]"}, {"IN", "[PLACE_4]"}, {"IBM", "[ORG_1]"}, {"Ok", "[P_1]"}}),
        "Portland, OR to Indianapolis, IN. I work in the office or at home; ibm IBM; OK ok"},
       "Portland, [PLACE_2] to Indianapolis, [PLACE_4]. I work in the office or at home; ibm "
       "[ORG_1]; [P_1] [P_1]"},
      {"Kelvin sign, long s, final sigma: other byte lengths",
       {make_map({{"kiss", "[P_1]"}, {"σοφίας", "[P_2]"}}), "\u212AI\u017FS ΣΟΦΊΑΣ"},
       "[P_1] [P_2]"},
      {"capital sharp s matches sharp s, not ss",
       {make_map({{"straße", "[P_1]"}}), "STRA\u1E9EE strasse"}, "[P_1] strasse"},
      {"an inserted token is never searched again",
       {make_map({{"Alice Smith", "[PERSON_1]"}, {"PERSON_1", "[ORG_1]"}}),
        "Alice Smith, PERSON_1"}, "[PERSON_1], [ORG_1]"},
      {"entity holding brackets does not match across tokens",
       {make_map({{"Alice Smith", "[P_1]"}, {" and [", "[X_1]"}, {"Bob Stone", "[P_2]"}}),
        "Alice Smith and Bob Stone"}, "[P_1] and [P_2]"},
      {"the text on two sides of an empty token is never joined",
       {make_map({{"z-", ""}, {"éb", "[P_1]"}}), "éz-b éb"}, "éb [P_1]"},
      {"the character before an empty token decides",
       {make_map({{"zz/", ""}, {"bc", "[P_1]"}}), "ézz/bc /bc"}, "é[P_1] /bc"},
      {"a token next to a match completes its boundary",
       {make_map({{"Roberta", "[P_1]"}, {"José", "[P_2]"}}), "JoséRoberta"}, "[P_2][P_1]"},
      {"a token before a match does not block it",
       {make_map({{"Bob/", "[P_1]"}, {"Ann", "[P_2]"}}), "Bob/Ann Bob/ Ann /Ann"},
       "[P_1][P_2] [P_1] [P_2] /Ann"},
      {"a token that ends in a letter blocks what follows it",
       {make_map({{"Alice", "Carol"}, {"Bob", "[P_1]"}}), "AliceBob Alice-Bob"},
       "AliceBob Carol-[P_1]"},
      {"equal lengths go in byte order of the entity text",
       {make_tables({{"alice", "[PERSON_1]"}, {"@jdoe", "[HANDLE_1]"}}, {}),
        "@jdoe and alice@jdoe and Alice"}, "[HANDLE_1] and [PERSON_1]@jdoe and [PERSON_1]"},
      {"equal lengths that begin alike go in byte order too",
       {make_map({{"a-a-a-a-b", "[B_1]"}, {"a-a-a-a-a", "[A_1]"}}), "a-a-a-a-a-a-a-b"},
       "[A_1]-a-a-b"},
      // A session document may map texts to pseudonyms or any other text: it goes in as it
      // is, and since inserted text is never searched again it cannot multiply the text.
      {"values that are not one whole token go in literally",
       {make_map({{"Robert", "Bob"}, {"bob", "[P_1]"}, {"-Rob-", ""}, {"Ann", "[P_2] x"},
                  {"Eve", "P_3]"}}), "Robert é-Rob-y Ann Eve Bob"},
       "Bob éy [P_2] x P_3] [P_1]"},
  };
  for (const auto& impl : kImplementations) {
    SCOPED_TRACE(impl.name);
    test::expect_rows([&](const MapAndText& c) { return impl.forward(c.second, c.first); }, cases);
  }
}

TEST(Deanonymize, RestoresKnownTokensWhoseTextHoldsNoToken) {
  const test::Pairs sample = {{"[PERSON_1]", "Alice"}, {"[PERSON_10]", "Ten"},
                              {"[ORG_2]", "[ORG_1] Ltd"}, {"[ORG_1]", "Acme"}};
  using PairsAndText = std::pair<test::Pairs, std::string>;  // the reverse table, the text
  const std::vector<test::Row<PairsAndText, std::string>> cases = {
      {"one token is never part of another", {sample, "[PERSON_10] `[PERSON_1]`"}, "Ten `Alice`"},
      {"entity holding a token is skipped", {sample, "[ORG_2] and [ORG_1]"}, "[ORG_2] and Acme"},
      {"restored text never completes a later key",
       {{{"[BB_2]", "[A"}, {"[A_1]", "Z"}}, "[BB_2]_1]"}, "[A_1]"},
      {"restored text completing an earlier key", {{{"[B_2]", "[A"}, {"[AA_1]", "Z"}}, "[B_2]A_1]"},
       "[AA_1]"},
      {"an empty text never joins two halves", {{{"[BB_2]", ""}, {"[A_1]", "Z"}}, "[A[BB_2]_1]"},
       "[A_1]"},
      {"keys that are not one whole token, longest first, ties in byte order",
       {{{"PERSON_1]", "x"}, {"[PERSON_1]", "Bob"}, {"[A_1] ", "y"}, {"_1][A_", "two"}},
        "[PERSON_1] PERSON_1] [A_1] [A_1][A_1]"}, "Bob x y[Atwo1]"},
      {"restored text is never searched again",
       {{{"[X_1]", "foo"}, {"oo", "ar"}, {"xxx", "xx xx xx"}, {"xx", "x x x"}}, "[X_1] xxx"},
       "foo xx xx xx"},
      {"empty key is skipped", {{{"", "boom"}, {"[PERSON_1]", "Alice"}}, "x [PERSON_1] y"},
       "x Alice y"},
      {"digits of other scripts", {{{"[ORG_\u0663]", "Three"}}, "[ORG_\u0663] [ORG_3]"},
       "Three [ORG_3]"},
  };
  for (const auto& impl : kImplementations) {
    SCOPED_TRACE(impl.name);
    test::expect_rows(
        [&](const PairsAndText& c) { return impl.reverse(c.second, make_tables({}, c.first)); },
        cases);
  }
}

}  // namespace
}  // namespace velk
