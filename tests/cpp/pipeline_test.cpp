// One anonymize call: the order in which detector results reach the token map, precedence
// between detectors, caller-supplied entities, the caller's map and the text.
#include "velk/pipeline.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velk/substitution.h"

namespace velk {
namespace {

using T = EntityType;
using Entities = std::vector<Entity>;

TEST(Anonymize, ListsEntitiesExtendsTheCallersMapAndSubstitutes) {
  struct Case {
    const char* name;
    std::string text;
    Entities existing;  // the caller's map is built from these; none when empty
    Entities custom;    // when empty, anonymize and anonymize_with_custom must agree
    Entities expected_entities;
    std::string expected_text;
  };
  const Case cases[] = {
      Case("worked call", "Ping @jdoe about BlueHarbor in Dallas, TX", {}, {},
           {{"@jdoe", T::Handle}, {"Dallas", T::Place}, {"TX", T::Place},
            {"BlueHarbor", T::Project}},
           "Ping [HANDLE_1] about [PROJECT_1] in [PLACE_1], [PLACE_2]"),
      // The honorific makes the lexicon report "Jane.io" as a Person; the domain came first.
      Case("domain keeps out a person with the same text", "see jane.io and ask Dr. Jane.io", {},
           {}, {{"jane.io", T::Url}}, "see [URL_1] and ask Dr. [URL_1]"),
      Case("e-mail keeps out a person in any capitalisation",
           "mail jane@acme.com or Dr. JANE@ACME.COM", {}, {}, {{"jane@acme.com", T::Email}},
           "mail [EMAIL_1] or Dr. [EMAIL_1]"),
      Case("containment uses full lower-casing", "visit the école or η οδος", {},
           {{"ÉCOLE", T::Org}, {"ΟΔΟΣ", T::Place}}, {{"ÉCOLE", T::Org}, {"ΟΔΟΣ", T::Place}},
           "visit the [ORG_1] or η [PLACE_1]"),
      // The empty entry gets a token of its own but is never substituted.
      Case("empty custom text is always listed", "hello Bob", {}, {{"", T::Person}},
           {{"Bob", T::Person}, {"", T::Person}}, "hello [PERSON_1]"),
      Case("custom case variant shares the pattern token", "mail jane@acme.com now", {},
           {{"JANE@ACME.COM", T::Person}},
           {{"jane@acme.com", T::Email}, {"JANE@ACME.COM", T::Person}}, "mail [EMAIL_1] now"),
      Case("CamelCase equal to a custom hit is no project", "ship BlueHarbor now", {},
           {{"blueharbor", T::Org}}, {{"blueharbor", T::Org}}, "ship [ORG_1] now"),
      Case("entities only inside code get tokens but stay",
           "```\nmail bob@example.com\n```\nthen run `ping 10.0.0.1` now", {}, {},
           {{"bob@example.com", T::Email}, {"10.0.0.1", T::IpAddress}},
           "```\nmail bob@example.com\n```\nthen run `ping 10.0.0.1` now"),
      Case("new entries continue the caller's numbering", "Bob flew to Paris with ALICE",
           {{"Alice", T::Person}, {"Dallas", T::Place}}, {},
           {{"Bob", T::Person}, {"Paris", T::Place}, {"ALICE", T::Person}},
           "[PERSON_2] flew to [PLACE_2] with [PERSON_1]"),
      Case("text holding the map's tokens finds nothing new",
           "[PERSON_2] met [PERSON_1] in [PLACE_1]",
           {{"Alice", T::Person}, {"Bob", T::Person}, {"Paris", T::Place}}, {}, {},
           "[PERSON_2] met [PERSON_1] in [PLACE_1]"),
      // What a detector found is replaced where it found it, whatever stands before it.
      Case("an address after an at sign", "ssh root@10.0.0.1 or admin@10.0.0.1", {}, {},
           {{"10.0.0.1", T::IpAddress}}, "ssh root@[IP_1] or admin@[IP_1]"),
      Case("short capitals of a map stay out of ordinary words", "I work in the office or at home",
           {{"Portland", T::Place}, {"OR", T::Place}, {"Indianapolis", T::Place}, {"IN", T::Place}},
           {}, {}, "I work in the office or at home"),
      Case("a project after a slash, numbered after a custom entity", "repo acme/BlueHarbor", {},
           {{"acme", T::Org}}, {{"acme", T::Org}, {"BlueHarbor", T::Project}},
           "repo [ORG_1]/[PROJECT_1]"),
      // Patterns in their own order, then the lexicon, then the caller's entities in the
      // caller's order, then CamelCase: the caller's Sarah is numbered after Sarah Miller.
      Case("detector order decides numbering",
           "Call Sarah Miller at 555-123-4567 or sarah@acme.io, see https://acme.io/x and "
           "@sarah_m on 10.0.0.1 in NightOwl",
           {}, {{"Sarah", T::Person}, {"Acme", T::Org}},
           {{"https://acme.io/x", T::Url}, {"sarah@acme.io", T::Email}, {"@sarah_m", T::Handle},
            {"555-123-4567", T::Phone}, {"10.0.0.1", T::IpAddress}, {"Sarah Miller", T::Person},
            {"Sarah", T::Person}, {"Acme", T::Org}, {"NightOwl", T::Project}},
           "Call [PERSON_1] at [PHONE_1] or [EMAIL_1], see [URL_1] and [HANDLE_1] on [IP_1] in "
           "[PROJECT_1]"),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto existing_map = std::make_shared<const TokenMap>(build_token_map(c.existing, nullptr));
    const std::shared_ptr<const TokenMap> existing = c.existing.empty() ? nullptr : existing_map;
    const Entities custom_before = c.custom;
    std::vector<std::pair<const char*, AnonymizeResult>> results;
    results.emplace_back("with custom", anonymize_with_custom(c.text, existing, c.custom));
    if (c.custom.empty()) results.emplace_back("anonymize", anonymize(c.text, existing));
    for (const auto& [call, result] : results) {
      SCOPED_TRACE(call);
      EXPECT_EQ(result.entities, c.expected_entities);
      EXPECT_EQ(result.entity_count, result.entities.size());
      EXPECT_EQ(result.text, c.expected_text);
      EXPECT_EQ(*result.token_map, build_token_map(result.entities, existing.get()));
    }
    EXPECT_EQ(*existing_map, build_token_map(c.existing, nullptr)) << "map changed";
    EXPECT_EQ(c.custom, custom_before) << "custom entities changed";
  }
}

// Text shaped like a token that the map does not hold is reserved as its own reverse entry:
// no entity is numbered onto it and restoring leaves it as written.
TEST(Anonymize, TokenShapedTextIsReservedSoRestoreGivesItBack) {
  const std::string text = "Ask [PERSON_1] and Emily Johnson about [ORG_\u0663] in `[IP_4]`.";
  const AnonymizeResult result = anonymize(text, nullptr);
  EXPECT_EQ(result.text, "Ask [PERSON_1] and [PERSON_2] about [ORG_\u0663] in `[IP_4]`.");
  EXPECT_EQ(*result.token_map,
            test::make_tables({{"Emily Johnson", "[PERSON_2]"}},
                              {{"[PERSON_1]", "[PERSON_1]"}, {"[PERSON_2]", "Emily Johnson"},
                               {"[ORG_\u0663]", "[ORG_\u0663]"}, {"[IP_4]", "[IP_4]"}}));
  EXPECT_EQ(result.token_map->size(), 1u);
  EXPECT_EQ(deanonymize(result.text, *result.token_map), text);
  // An unknown token beside mapped text only is still reserved.
  const AnonymizeResult other = anonymize("Emily Johnson and [PERSON_7]", result.token_map);
  TokenMap expected = *result.token_map;
  expected.reverse.insert_or_assign("[PERSON_7]", "[PERSON_7]");
  EXPECT_EQ(*other.token_map, expected);
  // A token the map holds is the map's: nothing is reserved, and it restores to its text.
  const AnonymizeResult next = anonymize("[PERSON_2] and [PERSON_1]", result.token_map);
  EXPECT_EQ(next.token_map, result.token_map);
  EXPECT_EQ(deanonymize(next.text, *next.token_map), "Emily Johnson and [PERSON_1]");
}

// A long text runs its detector passes on two threads; repeating a message must give exactly
// the entities of one copy and its anonymized text repeated.
TEST(Anonymize, LongTextsGiveTheResultsOfShortOnes) {
  const std::string message = "Ping @jdoe about BlueHarbor in Dallas, TX; Dr. Alice Moreau mailed "
                              "alice@acme.io from 10.0.0.7 (`Alice` in code).\n";
  const AnonymizeResult one = anonymize(message, nullptr);
  ASSERT_GE(one.entities.size(), 7u);
  std::string text, expected_text;
  while (text.size() < 600 * 1024) {
    text += message;
    expected_text += one.text;
  }
  for (const auto& existing : {std::shared_ptr<const TokenMap>(), one.token_map}) {
    const AnonymizeResult many = anonymize(text, existing);
    EXPECT_EQ(many.entities, one.entities);
    EXPECT_EQ(*many.token_map, *one.token_map);
    EXPECT_EQ(many.text, expected_text);
    // A text that brings nothing new leaves the caller's map as the result's, uncopied.
    EXPECT_EQ(many.token_map == one.token_map, existing != nullptr);
  }
}

}  // namespace
}  // namespace velk
