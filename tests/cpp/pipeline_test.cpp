// Tests of one anonymize call: the order in which detector results reach the token map,
// precedence between detectors, caller-supplied entities, the caller's map and the text.
#include "velk/pipeline.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "velk/substitution.h"

namespace velk {

void PrintTo(const Entity& entity, std::ostream* os) {
  *os << display_name(entity.entity_type) << "(\"" << entity.text << "\")";
}

namespace {

Entity person(std::string text) { return {std::move(text), EntityType::Person}; }
Entity place(std::string text) { return {std::move(text), EntityType::Place}; }
Entity org(std::string text) { return {std::move(text), EntityType::Org}; }
Entity project(std::string text) { return {std::move(text), EntityType::Project}; }
Entity email(std::string text) { return {std::move(text), EntityType::Email}; }
Entity phone(std::string text) { return {std::move(text), EntityType::Phone}; }
Entity url(std::string text) { return {std::move(text), EntityType::Url}; }
Entity handle(std::string text) { return {std::move(text), EntityType::Handle}; }
Entity ip(std::string text) { return {std::move(text), EntityType::IpAddress}; }

struct PipelineCase {
  std::string name;
  std::string text;
  // The caller's map is built from these entities; nullopt passes no map at all.
  std::optional<std::vector<Entity>> existing;
  // nullopt calls anonymize (and anonymize_with_custom with no entities, which must agree).
  std::optional<std::vector<Entity>> custom;
  std::vector<Entity> expected_entities;
  std::string expected_text;
  StringMap expected_forward;
};

std::string case_name(const testing::TestParamInfo<PipelineCase>& info) { return info.param.name; }

void PrintTo(const PipelineCase& c, std::ostream* os) { *os << c.name; }

class PipelineTest : public testing::TestWithParam<PipelineCase> {};

TEST_P(PipelineTest, ListsEntitiesExtendsMapAndSubstitutes) {
  const PipelineCase& c = GetParam();
  const TokenMap existing_map = c.existing ? build_token_map(*c.existing, nullptr) : TokenMap{};
  const TokenMap* existing = c.existing ? &existing_map : nullptr;
  const TokenMap map_before = existing_map;

  std::vector<std::pair<const char*, AnonymizeResult>> results;
  if (c.custom) {
    const std::vector<Entity> custom_before = *c.custom;
    results.emplace_back("anonymize_with_custom",
                         anonymize_with_custom(c.text, existing, *c.custom));
    EXPECT_EQ(*c.custom, custom_before);
  } else {
    results.emplace_back("anonymize", anonymize(c.text, existing));
    results.emplace_back("anonymize_with_custom, no entities",
                         anonymize_with_custom(c.text, existing, {}));
  }
  for (const auto& [call, result] : results) {
    SCOPED_TRACE(call);
    EXPECT_EQ(result.entities, c.expected_entities);
    EXPECT_EQ(result.entity_count, result.entities.size());
    EXPECT_EQ(result.text, c.expected_text);
    EXPECT_EQ(result.token_map.forward, c.expected_forward);
  }
  EXPECT_EQ(existing_map, map_before) << "the caller's map changed";
}

const PipelineCase kCases[] = {
    {"EmptyTextWithoutMap", "", std::nullopt, std::nullopt, {}, "", {}},
    {"EmptyTextKeepsExactlyTheExistingEntries",
     "",
     std::vector{person("Alice"), place("Dallas")},
     std::nullopt,
     {},
     "",
     {{"Alice", "[PERSON_1]"}, {"Dallas", "[PLACE_1]"}}},
    {"MappedTextIsReplacedThoughNothingIsDetected",
     "say hi to alice in dallas",
     std::vector{person("Alice"), place("Dallas")},
     std::nullopt,
     {},
     "say hi to [PERSON_1] in [PLACE_1]",
     {{"Alice", "[PERSON_1]"}, {"Dallas", "[PLACE_1]"}}},
    // The honorific makes the lexicon report "Jane.io" as a Person; the domain came first.
    {"DomainKeepsOutPersonWithTheSameText",
     "see jane.io and ask Dr. Jane.io",
     std::nullopt,
     std::nullopt,
     {url("jane.io")},
     "see [URL_1] and ask Dr. [URL_1]",
     {{"jane.io", "[URL_1]"}}},
    {"EmailKeepsOutPersonInAnyCapitalisation",
     "mail jane@acme.com or Dr. JANE@ACME.COM",
     std::nullopt,
     std::nullopt,
     {email("jane@acme.com")},
     "mail [EMAIL_1] or Dr. [EMAIL_1]",
     {{"jane@acme.com", "[EMAIL_1]"}}},
    {"CustomPlaceKeepsOutLexiconPerson",
     "Jordan said hi",
     std::nullopt,
     std::vector{place("Jordan")},
     {place("Jordan")},
     "[PLACE_1] said hi",
     {{"Jordan", "[PLACE_1]"}}},
    {"CustomAbsentFromTextPlaysNoPart",
     "Alice said hi",
     std::nullopt,
     std::vector{place("Jordan")},
     {person("Alice")},
     "[PERSON_1] said hi",
     {{"Alice", "[PERSON_1]"}}},
    {"CustomIsListedAsSuppliedWhenTextHasOtherCase",
     "we use acme tools",
     std::nullopt,
     std::vector{org("ACME")},
     {org("ACME")},
     "we use [ORG_1] tools",
     {{"ACME", "[ORG_1]"}}},
    {"CustomContainmentUsesFullLowerCasing",
     "visit the \xC3\xA9"
     "cole or \xCE\xB7 \xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82",  // école, η οδος
     std::nullopt,
     // ÉCOLE and ΟΔΟΣ, whose lower-cased form ends in a final sigma.
     std::vector{org("\xC3\x89"
                     "COLE"),
                 place("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3")},
     {org("\xC3\x89"
          "COLE"),
      place("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3")},
     "visit the [ORG_1] or \xCE\xB7 [PLACE_1]",
     {{"\xC3\x89"
       "COLE",
       "[ORG_1]"},
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "[PLACE_1]"}}},
    // The empty entry gets a token of its own but is never substituted.
    {"EmptyCustomTextIsAlwaysListed",
     "hello Bob",
     std::nullopt,
     std::vector{person("")},
     {person("Bob"), person("")},
     "hello [PERSON_1]",
     {{"Bob", "[PERSON_1]"}, {"", "[PERSON_2]"}}},
    {"EmptyCustomTextOccursInEmptyText",
     "",
     std::nullopt,
     std::vector{person("")},
     {person("")},
     "",
     {{"", "[PERSON_1]"}}},
    {"CustomInsideLongerWordIsListed",
     "Albert came",
     std::nullopt,
     std::vector{person("Al")},
     {person("Albert"), person("Al")},
     "[PERSON_1] came",
     {{"Albert", "[PERSON_1]"}, {"Al", "[PERSON_2]"}}},
    {"PatternEntityPrecedesCustomWithSameText",
     "mail jane@acme.com now",
     std::nullopt,
     std::vector{person("jane@acme.com")},
     {email("jane@acme.com"), person("jane@acme.com")},
     "mail [EMAIL_1] now",
     {{"jane@acme.com", "[EMAIL_1]"}}},
    {"CustomCaseVariantSharesPatternToken",
     "mail jane@acme.com now",
     std::nullopt,
     std::vector{person("JANE@ACME.COM")},
     {email("jane@acme.com"), person("JANE@ACME.COM")},
     "mail [EMAIL_1] now",
     {{"jane@acme.com", "[EMAIL_1]"}, {"JANE@ACME.COM", "[EMAIL_1]"}}},
    {"RepeatedCustomIsListedTwice",
     "acme rocks",
     std::nullopt,
     std::vector{org("ACME"), org("ACME")},
     {org("ACME"), org("ACME")},
     "[ORG_1] rocks",
     {{"ACME", "[ORG_1]"}}},
    {"CamelCaseEqualToLexiconEntityIsNoProject",
     "Mr. BLUEHARBOR and BlueHarbor",
     std::nullopt,
     std::nullopt,
     {person("BLUEHARBOR")},
     "Mr. [PERSON_1] and [PERSON_1]",
     {{"BLUEHARBOR", "[PERSON_1]"}}},
    {"CamelCaseEqualToCustomHitIsNoProject",
     "ship BlueHarbor now",
     std::nullopt,
     std::vector{org("blueharbor")},
     {org("blueharbor")},
     "ship [ORG_1] now",
     {{"blueharbor", "[ORG_1]"}}},
    {"EntitiesOnlyInsideCodeGetTokensButStay",
     "```\nmail bob@example.com\n```\nthen run `ping 10.0.0.1` now",
     std::nullopt,
     std::nullopt,
     {email("bob@example.com"), ip("10.0.0.1")},
     "```\nmail bob@example.com\n```\nthen run `ping 10.0.0.1` now",
     {{"bob@example.com", "[EMAIL_1]"}, {"10.0.0.1", "[IP_1]"}}},
    {"NewEntriesContinueTheCallersNumbering",
     "Bob flew to Paris with ALICE",
     std::vector{person("Alice"), place("Dallas")},
     std::nullopt,
     {person("Bob"), place("Paris"), person("ALICE")},
     "[PERSON_2] flew to [PLACE_2] with [PERSON_1]",
     {{"Alice", "[PERSON_1]"},
      {"Dallas", "[PLACE_1]"},
      {"Bob", "[PERSON_2]"},
      {"Paris", "[PLACE_2]"},
      {"ALICE", "[PERSON_1]"}}},
    // Patterns in their own order, then the lexicon, then the caller's entities in the
    // caller's order, then CamelCase: the caller's Sarah is numbered after Sarah Miller.
    {"DetectorOrderDecidesNumbering",
     "Call Sarah Miller at 555-123-4567 or sarah@acme.io, see https://acme.io/x and "
     "@sarah_m on 10.0.0.1 in NightOwl",
     std::nullopt,
     std::vector{person("Sarah"), org("Acme")},
     {url("https://acme.io/x"), email("sarah@acme.io"), handle("@sarah_m"), phone("555-123-4567"),
      ip("10.0.0.1"), person("Sarah Miller"), person("Sarah"), org("Acme"), project("NightOwl")},
     "Call [PERSON_1] at [PHONE_1] or [EMAIL_1], see [URL_1] and [HANDLE_1] on [IP_1] in "
     "[PROJECT_1]",
     {{"https://acme.io/x", "[URL_1]"},
      {"sarah@acme.io", "[EMAIL_1]"},
      {"@sarah_m", "[HANDLE_1]"},
      {"555-123-4567", "[PHONE_1]"},
      {"10.0.0.1", "[IP_1]"},
      {"Sarah Miller", "[PERSON_1]"},
      {"Sarah", "[PERSON_2]"},
      {"Acme", "[ORG_1]"},
      {"NightOwl", "[PROJECT_1]"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, PipelineTest, testing::ValuesIn(kCases), case_name);

TEST(Anonymize, RoadOfOneCall) {
  const AnonymizeResult result = anonymize("Ping @jdoe about BlueHarbor in Dallas, TX", nullptr);
  EXPECT_EQ(result.entities,
            (std::vector{handle("@jdoe"), place("Dallas"), place("TX"), project("BlueHarbor")}));
  EXPECT_EQ(result.entity_count, 4u);
  EXPECT_EQ(result.text, "Ping [HANDLE_1] about [PROJECT_1] in [PLACE_1], [PLACE_2]");
  TokenMap expected;
  expected.forward = {{"@jdoe", "[HANDLE_1]"},
                      {"Dallas", "[PLACE_1]"},
                      {"TX", "[PLACE_2]"},
                      {"BlueHarbor", "[PROJECT_1]"}};
  expected.reverse = {{"[HANDLE_1]", "@jdoe"},
                      {"[PLACE_1]", "Dallas"},
                      {"[PLACE_2]", "TX"},
                      {"[PROJECT_1]", "BlueHarbor"}};
  EXPECT_EQ(result.token_map, expected);
  EXPECT_EQ(deanonymize(result.text, result.token_map),
            "Ping @jdoe about BlueHarbor in Dallas, TX");
}

TEST(Anonymize, ChainedCallsKeepEarlierTokens) {
  const AnonymizeResult first = anonymize("Alice met Bob in Paris", nullptr);
  ASSERT_EQ(first.text, "[PERSON_1] met [PERSON_2] in [PLACE_1]");
  const AnonymizeResult second = anonymize("Bob and Carol called Alice", &first.token_map);
  EXPECT_EQ(second.entities, (std::vector{person("Bob"), person("Carol"), person("Alice")}));
  EXPECT_EQ(second.text, "[PERSON_2] and [PERSON_3] called [PERSON_1]");
  EXPECT_EQ(second.token_map.forward, (StringMap{{"Alice", "[PERSON_1]"},
                                                 {"Bob", "[PERSON_2]"},
                                                 {"Paris", "[PLACE_1]"},
                                                 {"Carol", "[PERSON_3]"}}));
  EXPECT_EQ(deanonymize(second.text, second.token_map), "Bob and Carol called Alice");
  // Re-anonymizing text that already holds tokens finds nothing new and changes nothing.
  const AnonymizeResult again = anonymize(second.text, &second.token_map);
  EXPECT_EQ(again.entities, std::vector<Entity>{});
  EXPECT_EQ(again.text, second.text);
  EXPECT_EQ(again.token_map, second.token_map);
}

}  // namespace
}  // namespace velk
