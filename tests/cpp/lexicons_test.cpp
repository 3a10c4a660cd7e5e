// The word-list loader, the word sets of the compiled-in lists and the table of roles for them.
#include "velk/lexicons.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "velk/unicode.h"

namespace velk {
namespace {

using Words = std::vector<std::string>;

Words sorted(const ViewSet& set) {
  Words out(set.begin(), set.end());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ParseLexicon, LoadsTrimmedLinesExceptBlanksAndComments) {
  const auto parse_sorted = [](std::string_view text) { return sorted(parse_lexicon(text)); };
  test::expect_rows<std::string, Words>(parse_sorted, {
      {"CRLF line ends, the last line without one", "beta\r\nalpha", {"alpha", "beta"}},
      {"blank and white-space lines", "\n \n\t\nalpha\n\n\r\n", {"alpha"}},
      {"comment lines, also indented", "# header\n   # indented\nalpha\n#\n", {"alpha"}},
      {"a later # is part of the entry", "paris # capital\na#b\n", {"a#b", "paris # capital"}},
      {"trimmed, repeats collapse, inner text kept", "  Boston  \nBoston\nnew  york\na\rb\n",
       {"Boston", "a\rb", "new  york"}},
      {"Unicode white space trimmed", "\u00A0alpha\u3000\n\u2028beta\u0085\n", {"alpha", "beta"}},
      {"U+180E is no white space", "alpha\u180E\n", {"alpha\u180E"}},
  });
}

TEST(PlaceSets, SplitThePlacesBySpaceIntoDisjointHalves) {
  Words both;
  for (const ViewSet* set : {&multi_word_places(), &single_word_places()}) {
    for (std::string_view entry : *set) {
      EXPECT_EQ(entry.find(' ') != std::string_view::npos, set == &multi_word_places()) << entry;
      both.emplace_back(entry);
    }
  }
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, sorted(place_names()));  // disjoint: a shared entry would appear twice
  EXPECT_TRUE(multi_word_places().contains("st. paul"));
  EXPECT_TRUE(single_word_places().contains("winston-salem"));
}

std::uint8_t roles_from_sets(std::string_view word) {
  std::uint8_t roles = 0;
  const std::pair<const ViewSet&, std::uint8_t> sets[] = {
      {first_names(), kRoleFirstName}, {single_word_places(), kRoleSingleWordPlace},
      {honorifics(), kRoleHonorific}, {org_suffixes(), kRoleOrgSuffix},
      {place_prepositions(), kRolePlacePreposition},
      {ambiguous_state_codes(), kRoleAmbiguousStateCode}, {place_verbs(), kRolePlaceVerb}};
  for (const auto& [set, role] : sets) {
    if (set.contains(word)) roles |= role;
  }
  for (std::string_view place : multi_word_places()) {
    if (place.substr(0, place.find(' ')) == word) roles |= kRoleMultiWordPlaceStart;
  }
  return roles;
}

// Every entry of every set and a few near misses, probed exactly and through the ASCII probe,
// which lower-cases first.
TEST(LexiconRoles, NameExactlyTheSetsThatHoldAWord) {
  std::vector<std::string> probes = {"", "x", "jane ", " jane", "new york", "new", "newy", "st.",
                                     "dr.", "professorx", "ma'am", "janes", "jan", "winston",
                                     "winston-salem", "caf\u00E9", "\u00E9", std::string(200, 'a')};
  for (const ViewSet* set : {&first_names(), &place_names(), &honorifics(), &org_suffixes(),
                             &place_prepositions(), &ambiguous_state_codes(), &place_verbs()}) {
    probes.insert(probes.end(), set->begin(), set->end());
  }
  for (const std::string& probe : probes) {
    const std::uint8_t expected = roles_from_sets(probe);
    EXPECT_EQ(lexicon_roles(probe), expected) << "\"" << probe << "\"";
    if (!is_ascii(probe)) {
      EXPECT_EQ(ascii_lexicon_roles(probe), std::nullopt) << probe;
      continue;
    }
    std::string upper = probe;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    EXPECT_EQ(ascii_lexicon_roles(probe), std::optional<std::uint8_t>(expected)) << probe;
    EXPECT_EQ(ascii_lexicon_roles(upper), std::optional<std::uint8_t>(expected)) << probe;
    EXPECT_TRUE(upper == probe || lexicon_roles(upper) == 0) << probe;  // the sets are lower-case
  }
}

}  // namespace
}  // namespace velk
