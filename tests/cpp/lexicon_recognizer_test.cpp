// Tests of the lexicon recognizer: tokenisation, each rule and its order, span trimming,
// de-duplication, Unicode corner cases and linear running time.
#include "velk/lexicon_recognizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace velk {

void PrintTo(const Entity& entity, std::ostream* os) {
  *os << display_name(entity.entity_type) << "(\"" << entity.text << "\")";
}

namespace {

Entity person(std::string text) { return {std::move(text), EntityType::Person}; }
Entity place(std::string text) { return {std::move(text), EntityType::Place}; }
Entity org(std::string text) { return {std::move(text), EntityType::Org}; }

struct RecognizerCase {
  std::string name;
  std::string text;
  std::vector<Entity> expected;
};

std::string case_name(const testing::TestParamInfo<RecognizerCase>& info) {
  return info.param.name;
}

void PrintTo(const RecognizerCase& c, std::ostream* os) { *os << c.name; }

class RecognizerTest : public testing::TestWithParam<RecognizerCase> {};

TEST_P(RecognizerTest, ReportsExactlyTheExpectedEntities) {
  const RecognizerCase& c = GetParam();
  EXPECT_EQ(extract_lexicon_entities(c.text), c.expected) << "text: " << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExample, RecognizerTest,
    testing::Values(RecognizerCase{
        "travel_note",
        "Yesterday Dr. Jane Smith moved from Dallas, TX to New York to join Acme Corp. with "
        "Sarah Miller.",
        {person("Jane Smith"), place("Dallas"), place("TX"), place("New York"), org("Acme Corp"),
         person("Sarah Miller")}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Honorifics, RecognizerTest,
    testing::Values(
        RecognizerCase{
            "window_stops_at_lower_case_word", "Dr. Jane Smith called", {person("Jane Smith")}},
        RecognizerCase{"honorific_in_lower_case", "dr. Jane", {person("Jane")}},
        RecognizerCase{"lower_case_name_after_honorific", "Dr. jane", {}},
        RecognizerCase{"window_holds_at_most_three_words",
                       "Dr. Jane Ann Marie Smith",
                       {person("Jane Ann Marie")}},
        RecognizerCase{"word_after_window_looked_at_afresh",
                       "Dr. Jane Ann Marie Dallas",
                       {person("Jane Ann Marie"), place("Dallas")}},
        RecognizerCase{"window_swallows_other_names",
                       "Dr. Jane Smith Sarah Miller",
                       {person("Jane Smith Sarah")}},
        RecognizerCase{"placeholder_never_joins_a_name", "Mr. [PERSON_1]", {}},
        RecognizerCase{"placeholder_in_parentheses_never_joins_a_name", "Mr. ([PERSON_1])", {}},
        RecognizerCase{"placeholder_glued_to_a_word_never_joins_a_name", "Dr. Jane[PERSON_1]", {}},
        RecognizerCase{
            "placeholder_ends_the_window", "Dr. Jane [PERSON_1] Smith", {person("Jane")}},
        RecognizerCase{"one_byte_name_dropped", "Dr. J", {}},
        RecognizerCase{"apostrophe_honorific", "ma'am Smith", {person("Smith")}},
        RecognizerCase{"honorific_at_end_of_text", "Ask the Dr.", {}},
        RecognizerCase{"tech_term_dropped_without_shadowing_other_case",
                       "Dr. Python and Dr. PYTHON",
                       {person("PYTHON")}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    FirstNames, RecognizerTest,
    testing::Values(
        RecognizerCase{"first_name_with_surname", "Sarah Miller", {person("Sarah Miller")}},
        RecognizerCase{"place_is_no_surname", "Sarah Dallas", {person("Sarah"), place("Dallas")}},
        RecognizerCase{"tech_term_is_no_surname", "Sarah Python", {person("Sarah")}},
        RecognizerCase{"first_name_before_company_rule", "Jordan Inc", {person("Jordan")}},
        RecognizerCase{"placeholder_is_no_surname", "Sarah [PERSON_1] said", {person("Sarah")}},
        RecognizerCase{
            "quoted_placeholder_is_no_surname", "Sarah \"[PERSON_1]\" said", {person("Sarah")}},
        RecognizerCase{"first_name_alone", "ask Sarah about it", {person("Sarah")}},
        RecognizerCase{"tech_first_name_skipped", "Ruby Jones", {}},
        RecognizerCase{
            "first_name_before_two_word_place", "Virginia Beach", {person("Virginia Beach")}},
        RecognizerCase{"first_name_before_one_word_place", "Georgia is nice", {person("Georgia")}},
        RecognizerCase{
            "place_code_takes_no_surname", "Austin, TX", {person("Austin"), place("TX")}},
        RecognizerCase{"name_across_line_break", "Jane\nSmith", {person("Jane\nSmith")}},
        RecognizerCase{"dotted_place_not_found", "St. Paul", {person("Paul")}},
        RecognizerCase{"lone_dash_is_invisible", "Sarah - Miller", {person("Sarah - Miller")}},
        RecognizerCase{
            "possessive_surname_kept_whole", "Kate O'Brien's car", {person("Kate O'Brien's")}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Places, RecognizerTest,
    testing::Values(
        RecognizerCase{"two_word_place", "New York", {place("New York")}},
        RecognizerCase{"two_word_place_in_capitals", "NEW YORK", {place("NEW YORK")}},
        RecognizerCase{"two_word_place_in_lower_case", "new york", {}},
        RecognizerCase{"two_word_place_before_comma", "to New York, then", {place("New York")}},
        RecognizerCase{"three_word_places_never_found", "Rio de Janeiro and Ho Chi Minh City", {}},
        RecognizerCase{"place_comma_code", "Dallas, TX", {place("Dallas"), place("TX")}},
        RecognizerCase{
            "comma_pair_needs_no_capital", "Dallas, texas", {place("Dallas"), place("texas")}},
        RecognizerCase{"comma_pair_needs_place_shape", "Dallas, Tx", {place("Dallas")}},
        RecognizerCase{"comma_pair_ambiguous_code_needs_no_confirmation",
                       "Boise, ID",
                       {place("Boise"), place("ID")}},
        RecognizerCase{"comma_pair_tech_term_dropped", "Portland, Maine", {place("Portland")}},
        RecognizerCase{"code_after_preposition", "moved to LA", {place("LA")}},
        RecognizerCase{"code_before_verb", "LA is great", {place("LA")}},
        RecognizerCase{"in_is_no_place_preposition", "in LA", {}},
        RecognizerCase{"code_followed_by_comma", "OK, thanks", {}},
        RecognizerCase{"mixed_case_code_not_place_shaped", "Hi there", {}},
        RecognizerCase{"code_before_non_verb", "HI there", {}},
        RecognizerCase{"code_confirmed_by_verb", "OK is fine", {place("OK")}},
        RecognizerCase{"code_confirmed_by_previous_comma", "Yes, OK", {place("OK")}},
        RecognizerCase{"code_with_own_comma_ignores_verb", "OK, is it", {}},
        RecognizerCase{"capitalised_verb_does_not_confirm", "OK Is", {}},
        RecognizerCase{"code_that_is_also_a_suffix", "CO was dry", {place("CO")}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Companies, RecognizerTest,
    testing::Values(
        RecognizerCase{"suffix_period_trimmed", "Acme Corp.", {org("Acme Corp")}},
        RecognizerCase{"lower_case_suffix", "Acme corp", {org("Acme corp")}},
        RecognizerCase{"co_as_suffix", "Acme Co, Berlin", {org("Acme Co"), place("Berlin")}},
        RecognizerCase{"placeholder_takes_no_suffix", "[ORG_1] Inc", {}},
        RecognizerCase{"lower_case_name_takes_no_suffix", "acme Corp", {}},
        RecognizerCase{"tech_word_with_suffix_is_company", "Apple Inc", {org("Apple Inc")}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    FirstOccurrenceWins, RecognizerTest,
    testing::Values(RecognizerCase{"case_variant_repeated",
                                   "Jane Smith and JANE SMITH",
                                   {person("Jane Smith")}},
                    RecognizerCase{"shorter_text_is_another_entity",
                                   "Georgia Smith called. Later Georgia said hi.",
                                   {person("Georgia Smith"), person("Georgia")}},
                    RecognizerCase{"place_shadows_later_first_name",
                                   "We drove to Dallas, Georgia and met Georgia there.",
                                   {place("Dallas"), place("Georgia")}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Punctuation, RecognizerTest,
    testing::Values(
        RecognizerCase{"parentheses_and_period", "(Jane Smith).", {person("Jane Smith")}},
        RecognizerCase{"double_quotes_kept", "\"Jane Smith\" wrote", {person("\"Jane Smith\"")}},
        RecognizerCase{"apostrophes_kept", "'Jane Smith' wrote", {person("'Jane Smith'")}},
        RecognizerCase{"name_between_apostrophes_not_found", "'Jane' said", {}},
        RecognizerCase{"trailing_dash_trimmed", "Dr. Jane Smith-", {person("Jane Smith")}},
        RecognizerCase{"other_leading_punctuation_hides_capital", "**Jane** called", {}},
        RecognizerCase{"empty_text", "", {}},
        RecognizerCase{"only_punctuation_and_space", " -- ... ( ) ", {}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Unicode, RecognizerTest,
    testing::Values(
        RecognizerCase{
            "no_break_space_splits_words", "Jane\u00A0Smith", {person("Jane\u00A0Smith")}},
        RecognizerCase{"ideographic_space_splits_words",
                       "Sarah\u3000Dallas",
                       {person("Sarah"), place("Dallas")}},
        RecognizerCase{"line_separator_splits_words", "Acme\u2028Inc", {org("Acme\u2028Inc")}},
        RecognizerCase{"mongolian_vowel_separator_does_not_split",
                       "Dr. Jane\u180ESmith",
                       {person("Jane\u180ESmith")}},
        RecognizerCase{"accented_capital_is_no_capital", "Élodie Smith and Dr. Émile", {}},
        RecognizerCase{"accented_surname_not_capitalised", "Sarah Élan", {person("Sarah")}},
        RecognizerCase{
            "kelvin_sign_lower_cases_into_a_name", "Mar\u212A Twain", {person("Mar\u212A Twain")}},
        RecognizerCase{"final_sigma_variants_are_one_text", "Dr. AΣ met Dr. Aς", {person("AΣ")}},
        RecognizerCase{
            "medial_sigma_is_another_text", "Dr. AΣ met Dr. Aσ", {person("AΣ"), person("Aσ")}}),
    case_name);

struct TokenCase {
  std::string name;
  std::string text;
  // raw, core, lower, starts_upper, is_token per word
  std::vector<std::tuple<std::string, std::string, std::string, bool, bool>> expected;
};

void PrintTo(const TokenCase& c, std::ostream* os) { *os << c.name; }

class TokenizeTest : public testing::TestWithParam<TokenCase> {};

TEST_P(TokenizeTest, SplitsAndTrimsWords) {
  const TokenCase& c = GetParam();
  std::vector<std::tuple<std::string, std::string, std::string, bool, bool>> actual;
  for (const WordToken& t : tokenize_words(c.text)) {
    actual.emplace_back(std::string(t.raw), std::string(t.core), t.lower, t.starts_upper,
                        t.is_token);
  }
  EXPECT_EQ(actual, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Words, TokenizeTest,
    testing::Values(
        TokenCase{"parentheses_and_comma", "(Jane),", {{"(Jane),", "Jane", "jane", true, false}}},
        TokenCase{"honorific_period", "Dr.", {{"Dr.", "Dr", "dr", true, false}}},
        TokenCase{"double_quotes", "\"Smith\"", {{"\"Smith\"", "Smith", "smith", true, false}}},
        TokenCase{"apostrophes_keep_the_closing_one",
                  "'Jane'",
                  {{"'Jane'", "Jane'", "jane'", true, false}}},
        TokenCase{"inner_apostrophes_unchanged",
                  "O'Brien's",
                  {{"O'Brien's", "O'Brien's", "o'brien's", true, false}}},
        TokenCase{
            "placeholder", "[PERSON_1].", {{"[PERSON_1].", "PERSON_1", "person_1", true, true}}},
        TokenCase{"shortest_placeholder_prefix", "[A_", {{"[A_", "A", "a", true, true}}},
        TokenCase{"wrapped_and_glued_placeholders",
                  "([PERSON_1]) \"[A_1]\" x[A_1] [[B_2]]",
                  {{"([PERSON_1])", "PERSON_1", "person_1", true, true},
                   {"\"[A_1]\"", "A_1", "a_1", true, true},
                   {"x[A_1]", "x[A_1", "x[a_1", false, true},
                   {"[[B_2]]", "B_2", "b_2", true, true}}},
        TokenCase{"not_placeholders",
                  "[Person_1] [_1] [AB] a[b [Ab_",
                  {{"[Person_1]", "Person_1", "person_1", true, false},
                   {"[_1]", "_1", "_1", false, false},
                   {"[AB]", "AB", "ab", true, false},
                   {"a[b", "a[b", "a[b", false, false},
                   {"[Ab_", "Ab", "ab", true, false}}},
        TokenCase{"other_leading_punctuation_stays",
                  "--Jane",
                  {{"--Jane", "--Jane", "--jane", false, false}}},
        TokenCase{"punctuation_only_pieces_dropped",
                  "a - ( b ''",
                  {{"a", "a", "a", false, false}, {"b", "b", "b", false, false}}},
        TokenCase{"runs_and_edges_of_white_space",
                  "\t Jane \r\n\u0085 Bo\u00A0",
                  {{"Jane", "Jane", "jane", true, false}, {"Bo", "Bo", "bo", true, false}}},
        TokenCase{"mongolian_vowel_separator_inside_word",
                  "a\u180Eb",
                  {{"a\u180Eb", "a\u180Eb", "a\u180Eb", false, false}}},
        TokenCase{"accented_capital", "Élodie", {{"Élodie", "Élodie", "élodie", false, false}}},
        TokenCase{"final_sigma_lower_casing",
                  "ΟΔΥΣΣΕΑΣ",
                  {{"ΟΔΥΣΣΕΑΣ", "ΟΔΥΣΣΕΑΣ", "οδυσσεας", false, false}}},
        TokenCase{"no_words", " \u3000\n", {}}),
    [](const testing::TestParamInfo<TokenCase>& info) { return info.param.name; });

TEST(PlaceShapeTest, ShortWordsNeedAllCapitals) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"TX", true},  {"HI", true},   {"Tx", false},  {"Hi", false},  {"tx", false},
      {"NYC", true}, {"Nyc", false}, {"Oslo", true}, {"oslo", true}, {"ÉÉ", true}};
  for (const auto& [word, expected] : cases) {
    const std::vector<WordToken> tokens = tokenize_words(word);
    ASSERT_EQ(tokens.size(), 1u) << word;
    EXPECT_EQ(is_place_shaped(tokens[0]), expected) << word;
  }
}

TEST(SpanTextTest, KeepsInnerTextVerbatimAndTrimsEdges) {
  const std::string text = "see [(Jane \n Smith!)]. and \"Ann Lee\"?";
  const std::vector<WordToken> tokens = tokenize_words(text);
  ASSERT_EQ(tokens.size(), 6u);
  EXPECT_EQ(span_text(text, tokens[1], tokens[2]), "Jane \n Smith");
  EXPECT_EQ(span_text(text, tokens[4], tokens[5]), "\"Ann Lee\"");
  EXPECT_EQ(span_text(text, tokens[2], tokens[2]), "Smith");
}

// Milliseconds of the fastest of three runs, with the entities of the last run.
double fastest_run_ms(const std::string& text, std::vector<Entity>& entities) {
  double best = 1e300;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    entities = extract_lexicon_entities(text);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Eight times the input may cost at most three times eight times the time: linear work
// passes easily, quadratic work (64 times) cannot.
constexpr double kSizeRatio = 8.0;
constexpr double kAllowedTimeRatio = 3.0 * kSizeRatio;

TEST(LinearTimeTest, TenMegabytesWithoutWhiteSpace) {
  // Non-ASCII, so lower-casing takes the full Unicode path on one 10 MB word.
  const std::string_view piece = "JanéΣ";
  const std::size_t big_times = 10'000'000 / piece.size();
  std::vector<Entity> small_entities;
  std::vector<Entity> big_entities;
  const double small_ms = fastest_run_ms(
      repeat(piece, big_times / static_cast<std::size_t>(kSizeRatio)), small_entities);
  const double big_ms = fastest_run_ms(repeat(piece, big_times), big_entities);
  EXPECT_EQ(small_entities, std::vector<Entity>{});
  EXPECT_EQ(big_entities, std::vector<Entity>{});
  EXPECT_LT(big_ms, kAllowedTimeRatio * std::max(small_ms, 1.0))
      << "small: " << small_ms << " ms, big: " << big_ms << " ms";
}

TEST(LinearTimeTest, MillionShortCapitalisedWords) {
  // Eleven words that exercise the name, company, place-pair, two-word place and
  // state-code paths; every repetition after the first is a duplicate.
  const std::string_view block = "Sarah Miller Acme Corp Dallas, TX New York Hi Ok Zed ";
  const std::size_t big_times = 1'000'000 / 11 + 1;
  const std::vector<Entity> expected = {person("Sarah Miller"), org("Acme Corp"), place("Dallas"),
                                        place("TX"), place("New York")};
  std::vector<Entity> small_entities;
  std::vector<Entity> big_entities;
  const double small_ms = fastest_run_ms(
      repeat(block, big_times / static_cast<std::size_t>(kSizeRatio)), small_entities);
  const double big_ms = fastest_run_ms(repeat(block, big_times), big_entities);
  EXPECT_EQ(small_entities, expected);
  EXPECT_EQ(big_entities, expected);
  EXPECT_LT(big_ms, kAllowedTimeRatio * std::max(small_ms, 1.0))
      << "small: " << small_ms << " ms, big: " << big_ms << " ms";
}

}  // namespace
}  // namespace velk
