// The table of lexicon roles against the word sets it stands for: every entry and a few
// near misses, probed exactly and through the ASCII lower-casing probe.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velk/lexicons.h"
#include "velk/unicode.h"

namespace velk {
namespace {

// The roles of `word` by asking each set in turn.
std::uint8_t roles_from_sets(std::string_view word) {
  std::uint8_t roles = 0;
  const std::pair<const ViewSet&, std::uint8_t> sets[] = {
      {first_names(), kRoleFirstName},
      {single_word_places(), kRoleSingleWordPlace},
      {honorifics(), kRoleHonorific},
      {org_suffixes(), kRoleOrgSuffix},
      {place_prepositions(), kRolePlacePreposition},
      {ambiguous_state_codes(), kRoleAmbiguousStateCode},
      {place_verbs(), kRolePlaceVerb}};
  for (const auto& [set, role] : sets) {
    if (set.contains(word)) roles |= role;
  }
  for (std::string_view place : multi_word_places()) {
    if (place.substr(0, place.find(' ')) == word) roles |= kRoleMultiWordPlaceStart;
  }
  return roles;
}

std::string ascii_upper(std::string_view word) {
  std::string upper(word);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

TEST(LexiconRoles, NameExactlyTheSetsThatHoldAWord) {
  std::vector<std::string> probes = {
      "",     "x",       "jane ",         " jane",      "new york", "new",
      "newy", "st.",     "dr.",           "professorx", "ma'am",    "janes",
      "jan",  "winston", "winston-salem", "caf\u00E9",  "\u00E9",   std::string(200, 'a')};
  for (const ViewSet* set : {&first_names(), &place_names(), &honorifics(), &org_suffixes(),
                             &place_prepositions(), &ambiguous_state_codes(), &place_verbs()}) {
    for (std::string_view entry : *set) probes.emplace_back(entry);
  }
  for (const std::string& probe : probes) {
    const std::uint8_t expected = roles_from_sets(probe);
    EXPECT_EQ(lexicon_roles(probe), expected) << "\"" << probe << "\"";
    // The ASCII probe lower-cases first, the exact probe does not.
    if (is_ascii(probe)) {
      EXPECT_EQ(ascii_lexicon_roles(probe), std::optional<std::uint8_t>(expected)) << probe;
      EXPECT_EQ(ascii_lexicon_roles(ascii_upper(probe)), std::optional<std::uint8_t>(expected))
          << probe;
      if (ascii_upper(probe) != probe) {
        EXPECT_EQ(lexicon_roles(ascii_upper(probe)), 0) << probe;
      }
    } else {
      EXPECT_EQ(ascii_lexicon_roles(probe), std::nullopt) << probe;
    }
  }
}

TEST(LexiconRoles, ShortWordsSitInSeveralSets) {
  const struct {
    std::string_view word;
    std::uint8_t roles;
  } cases[] = {
      {"co", kRoleOrgSuffix | kRoleAmbiguousStateCode | kRoleSingleWordPlace},
      {"ms", kRoleHonorific | kRoleSingleWordPlace},
      {"austin", kRoleFirstName | kRoleSingleWordPlace},
      {"new", kRoleMultiWordPlaceStart},
      {"is", kRolePlaceVerb},
      {"to", kRolePlacePreposition},
      {"jane", kRoleFirstName},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lexicon_roles(c.word), c.roles) << c.word;
    EXPECT_EQ(ascii_lexicon_roles(ascii_upper(c.word)), std::optional<std::uint8_t>(c.roles))
        << c.word;
  }
}

}  // namespace
}  // namespace velk
