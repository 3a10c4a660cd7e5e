// The candidate scans of the pattern searches against plain iteration of the engine patterns:
// texts built to meet every start rule of the phone, IP, secret, CamelCase, e-mail and domain
// scans, including digits the engine and ICU may disagree about, word-at-a-time scanning near
// the end of the text, and searches that resume right after a match.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velk/pattern_extractors.h"
#include "velk/regex.h"

namespace velk {
namespace {

using pattern_internals::collect_matches;
using pattern_internals::engine_pattern;
using pattern_internals::find_pattern_matches;
using pattern_internals::MatchSpan;
using pattern_internals::pattern_text;
using pattern_internals::PatternId;
using pattern_internals::SearchOutcome;

constexpr std::array<PatternId, 8> kAllPatterns = {
    PatternId::kUrl,   PatternId::kEmail, PatternId::kDomain, PatternId::kHandle,
    PatternId::kPhone, PatternId::kIp,    PatternId::kSecret, PatternId::kCamelCase};

constexpr std::array<const char*, 8> kNames = {"URL",   "EMAIL", "DOMAIN", "HANDLE",
                                               "PHONE", "IP",    "SECRET", "CAMEL_CASE"};

// Plain iteration: the engine searches unanchored from every resume point.
std::vector<MatchSpan> plain_matches(PatternId id, std::string_view text) {
  static const std::array<Regex, 8> regexes = [] {
    std::array<Regex, 8> compiled;
    for (PatternId p : kAllPatterns) {
      compiled[static_cast<std::size_t>(p)] = Regex::compile(engine_pattern(pattern_text(p)));
    }
    return compiled;
  }();
  const Regex& regex = regexes[static_cast<std::size_t>(id)];
  MatchResult result(regex);
  return collect_matches(text, [&](std::size_t from) {
    SearchOutcome outcome{regex.search(text, from, result), {}, {}};
    outcome.match = outcome.entity = {result.start(), result.end()};
    return outcome;
  });
}

void expect_same_matches(std::string_view text) {
  for (PatternId id : kAllPatterns) {
    const std::vector<MatchSpan> expected = plain_matches(id, text);
    const std::vector<MatchSpan> actual = find_pattern_matches(id, text);
    EXPECT_EQ(actual.size(), expected.size())
        << kNames[static_cast<std::size_t>(id)] << " on \"" << text << "\"";
    for (std::size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
      EXPECT_TRUE(actual[i] == expected[i])
          << kNames[static_cast<std::size_t>(id)] << " match " << i << " is [" << actual[i].start
          << ", " << actual[i].end << "), plain iteration gives [" << expected[i].start << ", "
          << expected[i].end << ") on \"" << text << "\"";
    }
  }
}

TEST(CandidateScans, EqualPlainIterationOnChosenTexts) {
  const std::string_view texts[] = {
      // Phone numbers after characters that are digits to ICU but possibly not to the engine
      // (U+1E4F0 is newer than some engines' data), after other digits, "+" and "(".
      "\U0001E4F00123456789", "\U0001E4F0\U0001E4F05551234567", "\u06635551234567", "x+15551234567",
      "a(555) 123-4567", "1-(555)-123-4567", "(555)123-4567 5551234567",
      "\u0665\u0665\u0665\u2003\u0661\u0662\u0663\u2003\u0664\u0665\u0666\u0667",
      "555-123-4567555-123-4567", "12345678901234567890",
      // IP addresses with runs of one to four digits before the first dot.
      "\U0001E4F010.0.0.1", "\u0663110.0.0.1", "1110.0.0.1", "a1.1.1.1 _1.1.1.1 -1.1.1.1",
      "\u0661.\u0662.\u0663.\u0664", "1.2.3.4.5.6.7.8",
      // Secrets: prefixes of one to thirteen letters and digits, bodies of 19 to 21 bytes,
      // runs of 31 to 33, a secret right after another.
      "abcdefghijkl_aaaaaaaaaaaaaaaaaaa1", "abcdefghijklm_aaaaaaaaaaaaaaaaaaa1",
      "a-bbbbbbbbbbbbbbbbbbb1", "a-bbbbbbbbbbbbbbbbbb1",
      "a1b2c3d4e5f6g7h8i9j0k1l2m3n4o5p6q a1b2c3d4e5f6g7h8i9j0k1l2m3n4o5p",
      "a1b2c3d4e5f6g7h8i9j0k1l2m3n4o5p6-bbbbbbbbbbbbbbbbbbbb", "k_aaaaaaaaaaaaaaaaaaaa1k_bbbbb",
      "++++++++++++++++++++++++++++++++++++++++++++++++++++x_aaaaaaaaaaaaaaaaaaaa",
      // CamelCase words at the start, after digits, underscores and non-ASCII letters.
      "AbcDef", "1AbcDef _AbcDef \u00E9AbcDef \u00B2AbcDef", "AbcDefGhi2 AbCdef AbcDEf",
      "xAbcDef AbcDefAbcDef-AbcDef"};
  for (std::string_view text : texts) expect_same_matches(text);
}

TEST(CandidateScans, EqualPlainIterationOnRandomTexts) {
  // Digits of three kinds, every separator of the phone pattern, the secret classes, capitals
  // and small letters, so that numbers, secrets and CamelCase words form often.
  const std::string_view numbers[] = {
      "1", "5",          "0",      "25",   "555",    "4567",   "-",      ".",      " ",
      "(", ")",          "+",      "+1",   "\u2003", "\u180E", "\u0663", "\u0665", "a",
      "_", "\U0001E4F0", "\u00E9", "x.io", "192.",   "1.",     "10.",    "0.",     "\n"};
  const std::string_view words[] = {"a",  "Z",   "Ab",    "Cde",  "q",      "1",      "9",
                                    "_",  "-",   "+",     "/",    " ",      ".",      "@",
                                    "sk", "abc", "ABCDE", "k9z8", "\u00E9", "\u00B2", "a1b2c3d4"};
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> length(0, 60);
  for (const auto& alphabet :
       {std::span<const std::string_view>(numbers), std::span<const std::string_view>(words)}) {
    std::uniform_int_distribution<std::size_t> piece(0, alphabet.size() - 1);
    for (int round = 0; round < 3000 && !HasFailure(); ++round) {
      std::string text;
      for (int i = length(random); i > 0; --i) text.append(alphabet[piece(random)]);
      expect_same_matches(text);  // on failure, one text tells the story
    }
  }
}

}  // namespace
}  // namespace velk
