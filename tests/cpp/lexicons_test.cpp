// The word-list loader and the word sets built from the compiled-in lists.
#include "velk/lexicons.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace velk::embedded {
extern const std::string_view first_names;
extern const std::string_view place_names;
}  // namespace velk::embedded

namespace velk {
namespace {

using Words = std::vector<std::string>;

Words sorted(const ViewSet& set) {
  Words out(set.begin(), set.end());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ParseLexicon, LoadsTrimmedLinesExceptBlanksAndComments) {
  const struct {
    const char* name;
    std::string text;
    Words expected;  // sorted
  } cases[] = {
      {"empty text", "", {}},
      {"line feeds", "beta\nalpha\n", {"alpha", "beta"}},
      {"CRLF line ends", "beta\r\nalpha\r\n", {"alpha", "beta"}},
      {"last line without line feed", "alpha\nbeta", {"alpha", "beta"}},
      {"last line with a lone carriage return", "alpha\r", {"alpha"}},
      {"blank and white-space lines", "\n \n\t\nalpha\n\n\r\n", {"alpha"}},
      {"comment lines, also indented", "# header\n   # indented\nalpha\n#\n", {"alpha"}},
      {"a later # is part of the entry", "paris # capital\na#b\n", {"a#b", "paris # capital"}},
      {"capitals kept after trimming", "  Boston  \n", {"Boston"}},
      {"repeated line collapses", "lawrence\nlawrence\n lawrence\n", {"lawrence"}},
      {"inner spaces unchanged", "new  york\nrio de janeiro\n", {"new  york", "rio de janeiro"}},
      {"carriage return inside a line", "a\rb\n", {"a\rb"}},
      {"Unicode white space trimmed", "\u00A0alpha\u3000\n\u2028beta\u0085\n", {"alpha", "beta"}},
      {"U+180E is no white space", "alpha\u180E\n", {"alpha\u180E"}},
  };
  for (const auto& c : cases) EXPECT_EQ(sorted(parse_lexicon(c.text)), c.expected) << c.name;
}

// Entry lines of a list file: neither blank nor a comment.
std::size_t count_entry_lines(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (end > start && text[start] != '#') ++count;
    start = end + 1;
  }
  return count;
}

TEST(LexiconFiles, RepeatedLinesCollapseToTheListedCounts) {
  EXPECT_EQ(count_entry_lines(embedded::first_names), 776u);
  EXPECT_EQ(count_entry_lines(embedded::place_names), 360u);
  EXPECT_EQ(first_names().size(), 775u);
  EXPECT_EQ(place_names().size(), 346u);
  EXPECT_EQ(multi_word_places().size(), 43u);
  EXPECT_EQ(single_word_places().size(), 303u);
}

TEST(LexiconFiles, EntriesAreLowerCaseViewsIntoTheCompiledInText) {
  const std::pair<const ViewSet*, std::string_view> lists[] = {
      {&first_names(), embedded::first_names}, {&place_names(), embedded::place_names}};
  for (const auto& [set, text] : lists) {
    for (std::string_view entry : *set) {
      EXPECT_TRUE(entry.data() >= text.data() && entry.end() <= text.data() + text.size())
          << entry << " was copied";
      EXPECT_TRUE(std::all_of(entry.begin(), entry.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || c == ' ' || c == '.' || c == '-' || c == '\'';
      })) << entry;
      EXPECT_EQ(entry.find("  "), std::string_view::npos) << entry;
    }
  }
}

TEST(PlaceSets, SplitThePlacesBySpaceIntoDisjointHalves) {
  Words both;
  for (std::string_view entry : multi_word_places()) {
    EXPECT_NE(entry.find(' '), std::string_view::npos) << entry;
    both.emplace_back(entry);
  }
  for (std::string_view entry : single_word_places()) {
    EXPECT_EQ(entry.find(' '), std::string_view::npos) << entry;
    both.emplace_back(entry);
  }
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, sorted(place_names()));  // disjoint: a shared entry would appear twice
  Words long_entries;
  for (std::string_view entry : multi_word_places()) {
    if (std::count(entry.begin(), entry.end(), ' ') >= 2) long_entries.emplace_back(entry);
  }
  std::sort(long_entries.begin(), long_entries.end());
  EXPECT_EQ(long_entries, (Words{"ho chi minh city", "north las vegas", "rio de janeiro"}));
  EXPECT_TRUE(multi_word_places().contains("st. paul"));
  EXPECT_TRUE(single_word_places().contains("winston-salem"));
}

TEST(LexiconOverlap, TenFirstNamesArePlacesAndShortWordsSitInSeveralSets) {
  Words overlap;
  for (std::string_view name : first_names()) {
    if (single_word_places().contains(name)) overlap.emplace_back(name);
  }
  std::sort(overlap.begin(), overlap.end());
  EXPECT_EQ(overlap, (Words{"austin", "charlotte", "georgia", "gilbert", "jordan", "lincoln",
                            "madison", "norman", "sydney", "virginia"}));
  EXPECT_TRUE(org_suffixes().contains("co") && ambiguous_state_codes().contains("co"));
  EXPECT_TRUE(honorifics().contains("ms") && single_word_places().contains("ms"));
  for (std::string_view code : ambiguous_state_codes()) {
    EXPECT_TRUE(single_word_places().contains(code)) << code;
  }
}

TEST(FixedLists, HoldExactlyTheListedWords) {
  const struct {
    const char* name;
    const ViewSet& (*set)();
    Words expected;  // sorted
  } cases[] = {
      {"honorifics",
       &honorifics,
       {"dr", "fr", "lady", "lord", "ma'am", "madam", "miss", "mr", "mrs", "ms", "prof",
        "professor", "rabbi", "rev", "sir"}},
      {"org_suffixes",
       &org_suffixes,
       {"ag", "co", "corp", "gmbh", "inc", "kk", "llc", "llp", "lp", "ltd", "plc", "sa"}},
      {"place_prepositions",
       &place_prepositions,
       {"from", "into", "near", "outside", "past", "through", "to", "toward", "towards", "via"}},
      {"ambiguous_state_codes",
       &ambiguous_state_codes,
       {"co", "dc", "hi", "id", "in", "la", "ma", "me", "oh", "ok", "or", "pa"}},
      {"place_verbs",
       &place_verbs,
       {"are", "became", "becomes", "can", "could", "had", "has", "is", "may", "might", "must",
        "remained", "seems", "should", "stayed", "was", "were", "will", "would"}},
  };
  for (const auto& c : cases) EXPECT_EQ(sorted(c.set()), c.expected) << c.name;
}

TEST(LexiconLookup, MatchesOnlyExactLowerCaseBytes) {
  EXPECT_TRUE(first_names().contains("jane") && first_names().contains("lawrence"));
  EXPECT_FALSE(first_names().contains("Jane") || first_names().contains("jane "));
  EXPECT_TRUE(multi_word_places().contains("new york"));
  EXPECT_FALSE(multi_word_places().contains("new  york") ||
               single_word_places().contains("new york"));
  EXPECT_FALSE(honorifics().contains("dr."));
}

}  // namespace
}  // namespace velk
