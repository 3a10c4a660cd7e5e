// Tests of the word-list loader and of the word sets built from the compiled-in lists.
#include "velk/lexicons.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velk::embedded {
extern const std::string_view first_names;
extern const std::string_view place_names;
}  // namespace velk::embedded

namespace velk {
namespace {

std::vector<std::string> sorted(const ViewSet& set) {
  std::vector<std::string> out(set.begin(), set.end());
  std::sort(out.begin(), out.end());
  return out;
}

struct ParseCase {
  std::string name;
  std::string text;
  std::vector<std::string> expected;  // sorted
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseLexiconTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseLexiconTest, LoadsExactlyTheExpectedEntries) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(sorted(parse_lexicon(c.text)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseLexiconTest,
    testing::Values(
        ParseCase{"empty_text", "", {}},
        ParseCase{"line_feeds", "beta\nalpha\n", {"alpha", "beta"}},
        ParseCase{"crlf_line_ends", "beta\r\nalpha\r\n", {"alpha", "beta"}},
        ParseCase{"last_line_without_line_feed", "alpha\nbeta", {"alpha", "beta"}},
        ParseCase{"last_line_with_lone_carriage_return", "alpha\r", {"alpha"}},
        ParseCase{"blank_and_white_space_lines_skipped", "\n \n\t\nalpha\n\n\r\n", {"alpha"}},
        ParseCase{"comment_lines_skipped", "# header\n   # indented\nalpha\n#\n", {"alpha"}},
        ParseCase{"hash_inside_line_is_part_of_entry",
                  "paris # capital\na#b\n",
                  {"a#b", "paris # capital"}},
        ParseCase{"capitals_kept_after_trimming", "  Boston  \n", {"Boston"}},
        ParseCase{"repeated_line_collapses", "lawrence\nlawrence\n lawrence\n", {"lawrence"}},
        ParseCase{"inner_spaces_unchanged",
                  "new  york\nrio de janeiro\n",
                  {"new  york", "rio de janeiro"}},
        ParseCase{"carriage_return_inside_line_kept", "a\rb\n", {"a\rb"}},
        ParseCase{"unicode_white_space_trimmed",
                  "\u00A0alpha\u3000\n\u2028beta\u0085\n",
                  {"alpha", "beta"}},
        ParseCase{
            "mongolian_vowel_separator_is_not_white_space", "alpha\u180E\n", {"alpha\u180E"}}),
    [](const testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(ParseLexiconTest, EntriesAreViewsIntoTheParsedText) {
  const std::string text = "# names\n  jane \nbob\n";
  const std::string_view whole = text;
  for (std::string_view entry : parse_lexicon(whole)) {
    EXPECT_GE(entry.data(), whole.data()) << entry;
    EXPECT_LE(entry.data() + entry.size(), whole.data() + whole.size()) << entry;
  }
}

TEST(ParseLexiconTest, CrlfListLoadsSameEntriesAsLineFeedList) {
  for (std::string_view text : {embedded::first_names, embedded::place_names}) {
    std::string crlf;
    for (char ch : text) {
      if (ch == '\n') crlf += '\r';
      crlf += ch;
    }
    EXPECT_EQ(sorted(parse_lexicon(crlf)), sorted(parse_lexicon(text)));
  }
}

// Entry lines of a list file: neither blank nor a comment.
std::size_t count_entry_lines(std::string_view text) {
  std::size_t count = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    if (!line.empty() && line.front() != '#') ++count;
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return count;
}

TEST(LexiconFilesTest, HoldTheListedNumberOfLinesAndEntries) {
  EXPECT_EQ(count_entry_lines(embedded::first_names), 776u);
  EXPECT_EQ(count_entry_lines(embedded::place_names), 360u);
  EXPECT_EQ(first_names().size(), 775u);
  EXPECT_EQ(place_names().size(), 346u);
  EXPECT_EQ(multi_word_places().size(), 43u);
  EXPECT_EQ(single_word_places().size(), 303u);
}

TEST(LexiconFilesTest, EntriesAreLowerCaseAsciiWords) {
  for (const ViewSet* set : {&first_names(), &place_names()}) {
    for (std::string_view entry : *set) {
      const bool plain = std::all_of(entry.begin(), entry.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || c == ' ' || c == '.' || c == '-' || c == '\'';
      });
      EXPECT_TRUE(plain) << entry;
      EXPECT_EQ(entry.find("  "), std::string_view::npos) << entry;
    }
  }
}

TEST(LexiconFilesTest, EntriesPointIntoCompiledInText) {
  const std::pair<const ViewSet*, std::string_view> lists[] = {
      {&first_names(), embedded::first_names}, {&place_names(), embedded::place_names}};
  for (const auto& [set, text] : lists) {
    for (std::string_view entry : *set) {
      EXPECT_TRUE(entry.data() >= text.data() &&
                  entry.data() + entry.size() <= text.data() + text.size())
          << entry;
    }
  }
}

TEST(LexiconFilesTest, RepeatedLinesGiveOneEntry) {
  EXPECT_TRUE(first_names().contains("lawrence"));
  for (std::string_view place :
       {"new york", "oklahoma", "houston", "san antonio", "dallas", "austin", "fort worth",
        "oklahoma city", "tulsa", "arlington", "plano", "lubbock", "irving", "singapore"}) {
    EXPECT_TRUE(place_names().contains(place)) << place;
  }
}

TEST(PlaceSetsTest, SplitPlacesBySpaceIntoDisjointHalves) {
  std::set<std::string> both;
  for (std::string_view entry : multi_word_places()) {
    EXPECT_NE(entry.find(' '), std::string_view::npos) << entry;
    EXPECT_FALSE(single_word_places().contains(entry)) << entry;
    both.emplace(entry);
  }
  for (std::string_view entry : single_word_places()) {
    EXPECT_EQ(entry.find(' '), std::string_view::npos) << entry;
    both.emplace(entry);
  }
  const std::vector<std::string> all = sorted(place_names());
  EXPECT_EQ(std::vector<std::string>(both.begin(), both.end()), all);
}

TEST(PlaceSetsTest, LongAndDottedEntriesAreMultiWordPlaces) {
  std::vector<std::string> long_entries;
  for (std::string_view entry : multi_word_places()) {
    if (std::count(entry.begin(), entry.end(), ' ') >= 2) long_entries.emplace_back(entry);
  }
  std::sort(long_entries.begin(), long_entries.end());
  EXPECT_EQ(long_entries,
            (std::vector<std::string>{"ho chi minh city", "north las vegas", "rio de janeiro"}));
  EXPECT_TRUE(multi_word_places().contains("st. paul"));
  EXPECT_TRUE(single_word_places().contains("winston-salem"));
}

TEST(LexiconOverlapTest, TenFirstNamesAreAlsoSingleWordPlaces) {
  std::vector<std::string> overlap;
  for (std::string_view name : first_names()) {
    if (single_word_places().contains(name)) overlap.emplace_back(name);
  }
  std::sort(overlap.begin(), overlap.end());
  EXPECT_EQ(overlap,
            (std::vector<std::string>{"austin", "charlotte", "georgia", "gilbert", "jordan",
                                      "lincoln", "madison", "norman", "sydney", "virginia"}));
}

TEST(LexiconOverlapTest, SharedWordsBelongToEverySetTheyAreListedIn) {
  EXPECT_TRUE(org_suffixes().contains("co"));
  EXPECT_TRUE(ambiguous_state_codes().contains("co"));
  EXPECT_TRUE(honorifics().contains("ms"));
  EXPECT_TRUE(single_word_places().contains("ms"));
  for (std::string_view code : ambiguous_state_codes()) {
    EXPECT_TRUE(single_word_places().contains(code)) << code;
  }
}

struct FixedListCase {
  std::string name;
  const ViewSet& (*set)();
  std::vector<std::string> expected;  // sorted
};

void PrintTo(const FixedListCase& c, std::ostream* os) { *os << c.name; }

class FixedListTest : public testing::TestWithParam<FixedListCase> {};

TEST_P(FixedListTest, HoldsExactlyTheListedWords) {
  const FixedListCase& c = GetParam();
  EXPECT_EQ(sorted(c.set()), c.expected);
  EXPECT_EQ(&c.set(), &c.set()) << "built once and shared";
}

INSTANTIATE_TEST_SUITE_P(
    Sets, FixedListTest,
    testing::Values(FixedListCase{"honorifics",
                                  &honorifics,
                                  {"dr", "fr", "lady", "lord", "ma'am", "madam", "miss", "mr",
                                   "mrs", "ms", "prof", "professor", "rabbi", "rev", "sir"}},
                    FixedListCase{"org_suffixes",
                                  &org_suffixes,
                                  {"ag", "co", "corp", "gmbh", "inc", "kk", "llc", "llp", "lp",
                                   "ltd", "plc", "sa"}},
                    FixedListCase{"place_prepositions",
                                  &place_prepositions,
                                  {"from", "into", "near", "outside", "past", "through", "to",
                                   "toward", "towards", "via"}},
                    FixedListCase{
                        "ambiguous_state_codes",
                        &ambiguous_state_codes,
                        {"co", "dc", "hi", "id", "in", "la", "ma", "me", "oh", "ok", "or", "pa"}},
                    FixedListCase{"place_verbs",
                                  &place_verbs,
                                  {"are", "became", "becomes", "can", "could", "had", "has", "is",
                                   "may", "might", "must", "remained", "seems", "should", "stayed",
                                   "was", "were", "will", "would"}}),
    [](const testing::TestParamInfo<FixedListCase>& info) { return info.param.name; });

TEST(LexiconLookupTest, MatchesOnlyExactLowerCaseBytes) {
  EXPECT_TRUE(first_names().contains("jane"));
  EXPECT_FALSE(first_names().contains("Jane"));
  EXPECT_FALSE(first_names().contains("jane "));
  EXPECT_TRUE(multi_word_places().contains("new york"));
  EXPECT_FALSE(multi_word_places().contains("new  york"));
  EXPECT_FALSE(single_word_places().contains("new york"));
  EXPECT_FALSE(honorifics().contains("dr."));
}

}  // namespace
}  // namespace velk
